// Files in shared places: whatever sits at a name, the helpers neither block
// nor write through a link, and accept regular files only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform.h"
#include "support.h"

using namespace vx4test;

namespace {

struct PlantedCase {
    Planted kind;
    int read_error;     // of vx4_read_small_file
    int write_error;    // of vx4_open_for_writing (0: opens)
    int replace_error;  // of vx4_replace_file (0: a regular file takes the name)
};

class PlantedFiles : public ::testing::TestWithParam<PlantedCase> {
protected:
    void SetUp() override
    {
        root.enter();
        root.plant("/tmp/shared", GetParam().kind);
        path = vx4_path("/tmp/shared");
    }
    SandboxRoot root;
    std::string path;
};

TEST_P(PlantedFiles, AreRefusedWithoutBlockingAndNoLinkIsWrittenThrough)
{
    const PlantedCase &c = GetParam();
    std::string text = "kept";
    errno = 0;
    EXPECT_EQ(vx4_read_small_file(path, 4096, &text), -1);
    EXPECT_EQ(errno, c.read_error);
    EXPECT_EQ(text, "kept");

    errno = 0;
    int fd = vx4_open_for_writing(path, true);
    EXPECT_EQ(fd >= 0 ? 0 : errno, c.write_error);
    if (fd >= 0)
        close(fd);
    EXPECT_EQ(vx4_append_file(path, "x") == 0 ? 0 : errno, c.write_error);

    errno = 0;
    EXPECT_EQ(vx4_replace_file(path, "new", VX4_REPLACE_SYNC) == 0 ? 0 : errno, c.replace_error);
    if (c.replace_error == 0) {
        EXPECT_EQ(vx4_read_small_file(path, 16, &text), 0);
        EXPECT_EQ(text, "new");
    }
    EXPECT_TRUE(root.elsewhere_untouched());
    for (const auto &entry : std::filesystem::directory_iterator(root.at("/tmp")))
        EXPECT_EQ(entry.path().filename(), "shared") << "left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlantedFiles,
    ::testing::Values(PlantedCase{Planted::fifo, EINVAL, EINVAL, 0},
                      PlantedCase{Planted::link_to_zero, ELOOP, ELOOP, 0},
                      PlantedCase{Planted::link_elsewhere, ELOOP, ELOOP, 0},
                      PlantedCase{Planted::folder, EINVAL, EINVAL, EISDIR},
                      PlantedCase{Planted::huge_file, EFBIG, 0, 0}),
    [](const auto &param) { return std::string(planted_name(param.param.kind)); });

TEST(SharedFiles, RegularFilesAreReadWrittenAndReplacedWhole)
{
    SandboxRoot root;
    root.enter();
    std::string path = vx4_path("/tmp/state");
    std::string text;
    EXPECT_EQ(vx4_read_small_file(path, 16, &text), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(vx4_append_file(path, "12345678"), 0);
    ASSERT_EQ(vx4_append_file(path, "9"), 0);
    EXPECT_EQ(vx4_read_small_file(path, 9, &text), 0);
    EXPECT_EQ(text, "123456789");
    EXPECT_EQ(vx4_read_small_file(path, 8, &text), -1);  // one byte over the bound
    EXPECT_EQ(errno, EFBIG);

    int fd = vx4_open_for_writing(path, false, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "ab", 2), 2);
    close(fd);
    EXPECT_EQ(root.read("/tmp/state"), "ab");  // truncated

    ASSERT_EQ(vx4_replace_file(path, "new", 0, 0640), 0);
    EXPECT_EQ(root.read("/tmp/state"), "new");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(vx4_replace_file(vx4_path("/missing/state"), "x"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(SharedFiles, FifoWritersNeverWaitForAReader)
{
    SandboxRoot root;
    root.enter();
    std::string path = vx4_path("/var/run/vx4/api.fifo");
    EXPECT_EQ(vx4_open_fifo_writer(path), -1);
    EXPECT_EQ(errno, ENOENT);
    root.write("/var/run/vx4/api.fifo", "");
    EXPECT_EQ(vx4_open_fifo_writer(path), -1);
    EXPECT_EQ(errno, EINVAL);
    root.remove("/var/run/vx4/api.fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(vx4_open_fifo_writer(path), -1);
    EXPECT_EQ(errno, ENXIO);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    int writer = vx4_open_fifo_writer(path);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(write(writer, "hi\n", 3), 3);
    char got[8] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 3);
    close(writer);
    close(reader);
}

TEST(SharedFiles, AWatchSeesTheFileThroughItsFolderAndNeverALinksTarget)
{
    SandboxRoot root;
    root.enter();
    root.write("/media/usb99/trace_mask", "0x1");
    root.write("/elsewhere/mask", "0x2");
    vx4_file_watch watch;
    ASSERT_EQ(vx4_watch_file(&watch, vx4_path("/media/usb99/trace_mask")), 0);
    EXPECT_EQ(vx4_wait_file_change(&watch, 50), 0);

    root.write("/media/usb99/other", "x");  // another file of the folder
    EXPECT_EQ(vx4_wait_file_change(&watch, 50), 0);
    ASSERT_EQ(vx4_replace_file(vx4_path("/media/usb99/trace_mask"), "0x3"), 0);
    EXPECT_TRUE(vx4_wait_file_change(&watch, 2000) & IN_MOVED_TO);
    vx4_append_file(vx4_path("/media/usb99/trace_mask"), "0");
    EXPECT_TRUE(vx4_wait_file_change(&watch, 2000) & IN_MODIFY);

    root.remove("/media/usb99/trace_mask");
    ASSERT_EQ(symlink(root.at("/elsewhere/mask").c_str(), root.at("/media/usb99/trace_mask").c_str()), 0);
    while (vx4_wait_file_change(&watch, 50) > 0) {
    }
    vx4_append_file(root.at("/elsewhere/mask"), "0");
    EXPECT_EQ(vx4_wait_file_change(&watch, 100), 0);

    root.remove("/media/usb99");  // the stick goes away
    EXPECT_EQ(vx4_wait_file_change(&watch, 2000), -1);
    vx4_unwatch_file(&watch);
}

TEST(InstanceLock, ASecondHolderIsRefusedWithTheFirstOnesPid)
{
    SandboxRoot root;
    root.enter();
    testing::internal::CaptureStderr();
    EXPECT_EQ(vx4_take_instance_lock("vx4-test"), 0);
    EXPECT_EQ(vx4_take_instance_lock("vx4-test"), -1);
    EXPECT_EQ(vx4_take_instance_lock("vx4-other"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vx4-test: vx4-test is already running (pid " + std::to_string(getpid()) +
                  "), not starting a second one\n");
    EXPECT_EQ(root.read("/var/run/vx4/vx4-test.lock"), std::to_string(getpid()) + "\n");
}

}  // namespace
