// The installer in a sandbox root: packages on the stick as files, the
// install script a stub that prints its steps and records its arguments.
#include "supervisor/installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "core/trace.h"
#include "support.h"

using namespace vx4test;

namespace {

std::atomic<int> reboots{0};

// What vx4_load_installer_status reads.
struct Status {
    std::string type, step, a, b;
    bool operator==(const Status &) const = default;
};

void PrintTo(const Status &s, std::ostream *out)
{
    *out << "{" << s.type << ", " << s.step << ", " << s.a << ", " << s.b << "}";
}
std::atomic<int> reboot_mode{-1};

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.make_dir("/media/usb-cpy");
        root.write("/media/usb99/trace_mask", "0x00000400");
        root.enter();
        init_trace();
        static const vx4_installer_events events = {[](int mode) {
            reboot_mode = mode;
            ++reboots;
        }};
        ASSERT_EQ(vx4_start_installer(&events), 0);
    }

    // The install script: records its arguments, one per line, prints the
    // lines given and, when asked, waits for ROOT/go before its last line.
    void install_script(const std::vector<std::string> &lines, bool wait = false)
    {
        std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + root.path() + "/args'\n";
        for (size_t i = 0; i < lines.size(); ++i) {
            if (wait && i + 1 == lines.size())
                script += "while [ ! -e '" + root.path() + "/go' ]; do sleep 0.02; done\n";
            script += "printf '%s\\n' '" + lines[i] + "'\n";
        }
        root.make_dir("/opt/orba/scripts");
        root.write("/opt/orba/scripts/deploy_update.sh", script);
        chmod(root.at("/opt/orba/scripts/deploy_update.sh").c_str(), 0755);
    }

    static Status status()
    {
        char type[17], step[17], a[17], b[17];
        vx4_load_installer_status(type, sizeof type, step, sizeof step, a, sizeof a, b, sizeof b);
        return {type, step, a, b};
    }

    SandboxRoot root;
};

TEST_F(InstallerTest, TheLastPackageInstallsWithItsSteps)
{
    const std::string folder = "/media/usb-cpy/";
    root.write(folder + "vx4_730-00512_update_1.0.zip", "old");
    root.write(folder + "vx4_730-00512_update_1.1.zip", "new");
    root.make_dir(folder + "vx4_730-00512_update_1.3.zip");  // not a file
    symlink(root.at(folder + "vx4_730-00512_update_1.0.zip").c_str(),
            root.at(folder + "vx4_730-00512_update_1.2.zip").c_str());  // a link is not taken
    root.write(folder + "vx4_730-00512_update_0.9.tar", "other");
    char text[128];
    ASSERT_EQ(vx4_get_installer_software_update_available(text, sizeof text), 1);
    EXPECT_EQ(std::string(text), "/media/usb-cpy/vx4_730-00512_update_1.1.zip");
    vx4_load_installer_software_update_version(text, sizeof text);
    EXPECT_STREQ(text, "1.1");

    // A long line is one line, however it is read.
    install_script({"Starting", "unpack " + std::string(300, 'a'), "COPY: files done", "Waiting", "done: all"}, true);
    ASSERT_EQ(vx4_trigger_software_update(), 1);
    // A line without a detail shows in the progress file only.
    ASSERT_TRUE(wait_until([&] { return root.exists("/tmp/vx4_update") && root.read("/tmp/vx4_update") == "Waiting"; }));
    EXPECT_EQ(status(), (Status{"software", "3 of 11", "COPY", "files"}));
    // One update at a time.
    EXPECT_EQ(vx4_trigger_software_update(), 0);
    EXPECT_EQ(vx4_trigger_firmware_update(), 0);
    EXPECT_EQ(vx4_trigger_camera_update(), 0);
    EXPECT_EQ(reboots, 0);

    root.write("/go", "");
    ASSERT_TRUE(wait_until([] { return reboots == 1; }));
    EXPECT_EQ(reboot_mode, 2);
    EXPECT_EQ(status(), (Status{"software", "5 of 11", "done", "all"}));
    EXPECT_EQ(root.read("/tmp/vx4_update"), "done: all");
    EXPECT_EQ(split_lines(root.read("/args")),
              std::vector<std::string>{root.at("/media/usb-cpy/vx4_730-00512_update_1.1.zip")});
    EXPECT_EQ(vx4_trigger_software_update(), 0);  // until the unit restarts
}

TEST_F(InstallerTest, APackageNameNeverReachesAShell)
{
    const std::string name = "vx4_730-00512_update_1;touch pwned;$(touch pwned2)`touch pwned3`.zip";
    root.write("/media/usb-cpy/" + name, "package");
    install_script({"ok: done"});
    ASSERT_EQ(vx4_trigger_software_update(), 1);
    ASSERT_TRUE(wait_until([] { return reboots == 1; }));
    EXPECT_EQ(split_lines(root.read("/args")), std::vector<std::string>{root.at("/media/usb-cpy/" + name)});
    for (const char *file : {"/pwned", "/pwned2", "/pwned3", "/api/pwned"})
        EXPECT_FALSE(root.exists(file)) << file;
    EXPECT_FALSE(std::ifstream("pwned").good());
}

TEST_F(InstallerTest, AScriptThatCannotStartRebootsNothing)
{
    root.write("/media/usb-cpy/vx4_730-00512_update_2.0.zip", "package");
    ASSERT_EQ(vx4_trigger_software_update(), 1);
    ASSERT_TRUE(wait_until([] { return status().step.empty(); }));
    std::this_thread::sleep_for(200ms);  // a reboot would follow at once
    EXPECT_EQ(reboots, 0);
    EXPECT_EQ(status(), (Status{"software", "", "", ""}));
    EXPECT_EQ(vx4_trigger_software_update(), 0);
}

}  // namespace
