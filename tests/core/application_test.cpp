// The application's loop leaves children to those who started them.
#include "core/application.h"

#include <sys/wait.h>

#include "platform.h"
#include "support.h"

namespace {

TEST(Application, ChildrenAreLeftToWhoeverStartedThem)
{
    vx4test::SandboxRoot root;
    root.write("/bin/exit3", "#!/bin/sh\nexit 3\n");
    chmod(root.at("/bin/exit3").c_str(), 0755);
    root.enter();
    vx4_application application;
    ASSERT_EQ(vx4_application_init(&application, "vx4-test"), 0);
    pid_t pid = vx4_spawn({"/bin/exit3"});
    ASSERT_GT(pid, 0);
    // Let the child end and the loop hear of it before the starter waits.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    for (int i = 0; i < 10; ++i) {
        ev_run(application.loop, EVRUN_NOWAIT);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    vx4_application_destroy(&application);
}

}  // namespace
