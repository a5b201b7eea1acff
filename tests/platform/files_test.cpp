// Files in shared places: whatever sits at a name, the helpers neither block
// nor write through a link, and accept regular files only.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

#include "platform.h"
#include "support.h"

using namespace vx4test;

namespace {

struct PlantedCase {
    Planted kind;
    int read_error;     // of vx4_read_small_file
    int append_error;   // of vx4_append_file (0: appended)
    int replace_error;  // of vx4_replace_file (0: a regular file takes the name)
};

class PlantedFiles : public ::testing::TestWithParam<PlantedCase> {};

TEST_P(PlantedFiles, AreRefusedWithoutBlockingAndNoLinkIsWrittenThrough)
{
    const PlantedCase &c = GetParam();
    SandboxRoot root;
    root.enter();
    root.plant("/tmp/shared", c.kind);
    std::string path = vx4_path("/tmp/shared"), text = "kept";
    EXPECT_EQ(vx4_read_small_file(path, 4096, &text), -1);
    EXPECT_EQ(errno, c.read_error);
    EXPECT_EQ(vx4_append_file(path, "x") == 0 ? 0 : errno, c.append_error);
    EXPECT_EQ(vx4_replace_file(path, "new", VX4_REPLACE_SYNC) == 0 ? 0 : errno, c.replace_error);
    if (c.replace_error == 0) {
        EXPECT_EQ(vx4_read_small_file(path, 3, &text), 0);
        EXPECT_EQ(text, "new");
    }
    EXPECT_TRUE(root.elsewhere_untouched());
    for (const auto &entry : std::filesystem::directory_iterator(root.at("/tmp")))
        EXPECT_EQ(entry.path().filename(), "shared") << "left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlantedFiles,
    ::testing::Values(PlantedCase{Planted::fifo, EINVAL, EINVAL, 0}, PlantedCase{Planted::link_to_zero, ELOOP, ELOOP, 0},
                      PlantedCase{Planted::link_elsewhere, ELOOP, ELOOP, 0},
                      PlantedCase{Planted::folder, EINVAL, EINVAL, EISDIR}, PlantedCase{Planted::huge_file, EFBIG, 0, 0}),
    [](const auto &param) { return std::string(planted_name(param.param.kind)); });

TEST(SharedFiles, AWatchSeesTheFileThroughItsFolderAndNeverALinksTarget)
{
    SandboxRoot root;
    root.enter();
    std::string mask = vx4_path("/media/usb99/trace_mask");
    vx4_file_watch watch;
    ASSERT_EQ(vx4_watch_file(&watch, mask), 0);
    root.write("/media/usb99/other", "x");  // another file of the folder
    EXPECT_EQ(vx4_wait_file_change(&watch, 50), 0);
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
