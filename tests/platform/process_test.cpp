// The operating-system services the tools and the workbench use through the platform:
// running a program and waiting for it, the environment it inherits, a child that ends
// with its parent, where the running program and a library are, and waiting for an event
// descriptor. A fault here loses a subcommand's exit code, runs it against the wrong
// registry, or leaves a virtual printer running after the workbench died.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/eventfd.h"
#include "platform/module.h"
#include "platform/process.h"

namespace thermpos::platform {
namespace {

TEST(ProcessTest, RunAndWaitGivesTheExitCodeOrMinusOne) {
    EXPECT_EQ(RunAndWait({"/bin/sh", "-c", "exit 0"}), 0);
    EXPECT_EQ(RunAndWait({"/bin/sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(RunAndWait({"/bin/sh", "-c", "kill -TERM $$"}), -1) << "ended by a signal";
    EXPECT_EQ(RunAndWait({"/nonexistent/program"}), -1);
    EXPECT_EQ(RunAndWait({"sh", "-c", "exit 0"}), -1) << "PATH is not searched";
    EXPECT_EQ(RunAndWait({}), -1);
}

TEST(ProcessTest, TheEnvironmentIsInheritedAndKeptWhenAsked) {
    ASSERT_TRUE(SetEnvironment("THERMPOS_PROCESS_TEST", "first", true));
    EXPECT_TRUE(SetEnvironment("THERMPOS_PROCESS_TEST", "second", false));
    EXPECT_EQ(RunAndWait({"/bin/sh", "-c", "test \"$THERMPOS_PROCESS_TEST\" = first"}), 0);
    ASSERT_TRUE(SetEnvironment("THERMPOS_PROCESS_TEST", "third", true));
    EXPECT_EQ(RunAndWait({"/bin/sh", "-c", "test \"$THERMPOS_PROCESS_TEST\" = third"}), 0);
    EXPECT_FALSE(SetEnvironment("", "x", true));
    EXPECT_FALSE(SetEnvironment("A=B", "x", true));
    ::unsetenv("THERMPOS_PROCESS_TEST");
}

TEST(ProcessTest, AChildAsksToEndWithItsParent) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        EndWithParent();
        int signal = 0;
        ::prctl(PR_GET_PDEATHSIG, &signal);
        ::_exit(signal == SIGTERM ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ModulePathTest, TheProgramAndTheLibraryHoldingAnAddress) {
    char real[PATH_MAX];
    ASSERT_NE(::realpath("/proc/self/exe", real), nullptr);
    EXPECT_EQ(platform::module::ExecutablePath(), real);
    // This test is linked into the program; getpid lives in the C library.
    EXPECT_EQ(platform::module::PathOf(reinterpret_cast<const void*>(&RunAndWait)), real);
    const std::string libc = platform::module::PathOf(reinterpret_cast<const void*>(&::getpid));
    EXPECT_NE(libc.find("libc"), std::string::npos) << libc;
    EXPECT_EQ(libc.front(), '/');
}

TEST(WaitReadableTest, EndsWhenSignalledAndNotBefore) {
    WakeDescriptor wake;
    ASSERT_TRUE(wake.Valid());
    EXPECT_FALSE(WaitReadable(wake.Fd(), 0));
    EXPECT_FALSE(WaitReadable(-1, 0));
    // Signalled from another thread while (or before) this one waits: the wait ends with
    // the signal, far inside its limit.
    std::thread signaller([&] { wake.Signal(); });
    EXPECT_TRUE(WaitReadable(wake.Fd(), 60000));
    signaller.join();
    EXPECT_TRUE(wake.Signalled()) << "waiting reads nothing";
    wake.Drain();
    EXPECT_FALSE(WaitReadable(wake.Fd(), 0));
}

}  // namespace
}  // namespace thermpos::platform
