#include "platform.h"

#include <sys/inotify.h>

#include "support.h"

using namespace vx4test;

namespace {

TEST(Platform, UnsetVariablesMeanTheRealUnitAndMalformedOnesAreRefused)
{
    for (const char *name : {"VX4_ROOT", "VX4_CAMERA_HOST", "VX4_CAMERA_VISCA_PORT", "VX4_CAMERA_HTTP_PORT",
                             "VX4_CAMERA_RTSP_PORT", "VX4_REDIS_HOST", "VX4_REDIS_PORT", "VX4_API_PORT",
                             "VX4_POWER_BOARD"})
        unsetenv(name);
    ASSERT_EQ(vx4_platform_init("test"), 0);
    const vx4_platform_config &config = vx4_platform();
    EXPECT_FALSE(vx4_platform_sandboxed());
    EXPECT_EQ(vx4_path("/media/usb99/trace"), "/media/usb99/trace");
    EXPECT_EQ(config.camera_host, VX4_UNIT_CAMERA_HOST);  // never contacted here
    setenv("VX4_CAMERA_PING_HOST", "127.0.0.9", 1);   // honoured in the sandbox only
    ASSERT_EQ(vx4_platform_init("test"), 0);
    EXPECT_EQ(config.camera_ping_host, VX4_UNIT_CAMERA_HOST);
    unsetenv("VX4_CAMERA_PING_HOST");
    EXPECT_EQ(config.redis_host, "127.0.0.1");
    EXPECT_EQ(config.power_board, "spidev");
    EXPECT_EQ((std::vector<int>{config.camera_visca_port, config.camera_http_port, config.camera_rtsp_port,
                                config.redis_port, config.api_port}),
              (std::vector<int>{1000, 80, 554, 6379, 60102}));

    for (const auto &[name, value] : {std::pair{"VX4_API_PORT", "60102x"}, {"VX4_API_PORT", "70000"},
                                      {"VX4_POWER_BOARD", "usb"}, {"VX4_ROOT", "relative/root"}}) {
        setenv(name, value, 1);
        EXPECT_EQ(vx4_platform_init("test"), -1) << name << "=" << value;
        unsetenv(name);
    }
}

TEST(Platform, SandboxAcceptsOnlyLoopbackPeers)
{
    SandboxRoot root;
    root.enter();
    EXPECT_EQ(vx4_path("/tmp/intensity"), root.path() + "/tmp/intensity");
    EXPECT_EQ(vx4_require_loopback_peers(), 0);
    setenv("VX4_CAMERA_HOST", "192.0.2.1", 1);  // must be refused in sandbox mode
    ASSERT_EQ(vx4_platform_init("test"), 0);
    EXPECT_EQ(vx4_require_loopback_peers(), -1);
    setenv("VX4_CAMERA_HOST", "127.0.0.5", 1);
    setenv("VX4_REDIS_HOST", "198.51.100.1", 1);
    ASSERT_EQ(vx4_platform_init("test"), 0);
    EXPECT_EQ(vx4_require_loopback_peers(), -1);
    // The camera ping may go elsewhere on loopback, in the sandbox only.
    setenv("VX4_REDIS_HOST", "127.0.0.1", 1);
    setenv("VX4_CAMERA_PING_HOST", "192.0.2.1", 1);
    ASSERT_EQ(vx4_platform_init("test"), 0);
    EXPECT_EQ(vx4_require_loopback_peers(), -1);
    setenv("VX4_CAMERA_PING_HOST", "127.255.255.255", 1);
    ASSERT_EQ(vx4_platform_init("test"), 0);
    EXPECT_EQ(vx4_require_loopback_peers(), 0);
    EXPECT_EQ(vx4_platform().camera_ping_host, "127.255.255.255");
    unsetenv("VX4_CAMERA_PING_HOST");

    // Hosts are parsed only, never contacted (192.0.2.0/24 and 198.51.100.0/24
    // are kept for documentation and never routed).
    for (const char *host : {"127.0.0.1", "127.44.3.2", "::1", "[::1]", "localhost"})
        EXPECT_TRUE(vx4_is_loopback_host(host)) << host;
    for (const char *host : {"192.0.2.1", "128.0.0.1", "camera.local", ""})
        EXPECT_FALSE(vx4_is_loopback_host(host)) << host;
    for (const auto &[url, host] : {std::pair{"rtsp://192.0.2.1:554/x4-2.mp4", "192.0.2.1"},
                                    {"rtsp://user:pw@127.0.0.2/x", "127.0.0.2"}, {"http://[::1]:8080/", "[::1]"},
                                    {"no scheme", ""}})
        EXPECT_EQ(vx4_url_host(url), host) << url;
}

TEST(Platform, SandboxClockMovesAnOffsetNotTheHost)
{
    SandboxRoot root;
    root.enter();
    time_t host_before = time(nullptr);
    struct timeval wanted = {host_before + 86400 * 365, 0};
    ASSERT_EQ(vx4_settimeofday(&wanted), 0);
    EXPECT_NEAR(static_cast<double>(vx4_time()), static_cast<double>(wanted.tv_sec), 2.0);
    EXPECT_NEAR(static_cast<double>(time(nullptr)), static_cast<double>(host_before), 2.0);
}

TEST(Platform, SandboxProgramsComeOnlyFromTheRootAndArgumentsNeverReachAShell)
{
    SandboxRoot root;
    root.enter();
    root.write("/sbin/shutdown", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/../tmp/shutdown-args\"\nexit 3\n");
    root.write("/bin/echo-args", "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n");
    for (const char *script : {"/sbin/shutdown", "/bin/echo-args"})
        chmod(root.at(script).c_str(), 0755);
    EXPECT_EQ(vx4_power_off(), 3);
    EXPECT_EQ(root.read("/tmp/shutdown-args"), "-P now\n");
    EXPECT_EQ(vx4_reboot(), -1);  // no reboot under the root: never the host's
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vx4_run({"/bin/true"}), -1);

    pid_t pid;
    FILE *out = vx4_popen_read({"/bin/echo-args", "a b", "$(touch /tmp/x); rm -rf /"}, &pid);
    ASSERT_NE(out, nullptr);
    char line[256];
    std::string text;
    while (fgets(line, sizeof line, out))
        text += line;
    EXPECT_EQ(vx4_pclose(out, pid), 0);
    EXPECT_EQ(text, "[a b]\n[$(touch /tmp/x); rm -rf /]\n");
}

TEST(Platform, SandboxMountsFollowTheDeviceEntry)
{
    SandboxRoot root;
    root.enter();
    EXPECT_EQ(vx4_mount("/dev/usb_ext1", "/media/usb-cpy", "vfat", 0, nullptr), -1);
    root.write("/dev/usb_ext1", "");
    EXPECT_FALSE(vx4_is_mounted("/media/usb-cpy"));
    ASSERT_EQ(vx4_mount("/dev/usb_ext1", "/media/usb-cpy", "vfat", 0, nullptr), 0);
    EXPECT_TRUE(vx4_is_mounted("/media/usb-cpy"));
    EXPECT_EQ(vx4_mount("/dev/usb_ext1", "/media/usb-cpy", "vfat", 0, nullptr), -1);
    EXPECT_EQ(errno, EBUSY);
    ASSERT_EQ(vx4_umount("/media/usb-cpy"), 0);
    EXPECT_FALSE(vx4_is_mounted("/media/usb-cpy"));
    EXPECT_EQ(vx4_umount("/media/usb-cpy"), -1);
}

// A file in a shared place is watched through its folder: replaced by rename
// it is still seen, swapped for a link its target is never watched.
TEST(SharedFiles, AWatchSeesTheFileThroughItsFolderAndNeverALinksTarget)
{
    SandboxRoot root;
    root.enter();
    std::string mask = vx4_path("/media/usb99/trace_mask");
    vx4_file_watch watch;
    ASSERT_EQ(vx4_watch_file(&watch, mask), 0);
    ASSERT_EQ(vx4_replace_file(mask, "0x3"), 0);
    EXPECT_TRUE(vx4_wait_file_change(&watch, 2000) & IN_MOVED_TO);
    root.plant("/media/usb99/trace_mask", Planted::link_elsewhere);
    while (vx4_wait_file_change(&watch, 50) > 0) {
    }
    vx4_append_file(root.at("/elsewhere/trace_mask"), "0");  // the link's target
    EXPECT_EQ(vx4_wait_file_change(&watch, 100), 0);
    root.remove("/media/usb99");  // the stick goes away
    EXPECT_EQ(vx4_wait_file_change(&watch, 2000), -1);
    vx4_unwatch_file(&watch);
}

}  // namespace
