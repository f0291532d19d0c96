#include "lib/fork_state.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

namespace {

// What the test's steps saw, in the order they ran.
int RAN[3];
std::uint64_t SEEN_GENERATION[3];
int RUNS = 0;

template <int Id>
void step() {
    if (RUNS < 3) {
        RAN[RUNS] = Id;
        SEEN_GENERATION[RUNS] = ferrant::fork_generation();
    }
    ++RUNS;
}

}  // namespace

TEST(ForkState, ChildStepsRunInOrderAfterTheGenerationAdvances) {
    ferrant::register_fork_child(step<1>);
    ferrant::register_fork_child(step<2>);
    ferrant::register_fork_child(step<3>);
    const std::uint64_t parent_generation = ferrant::fork_generation();

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ferrant::after_fork_in_child();
        bool ok = RUNS == 3;
        for (int i = 0; i < 3; ++i)
            ok = ok && RAN[i] == i + 1 && SEEN_GENERATION[i] == parent_generation + 1;
        ok = ok && ferrant::fork_generation() == parent_generation + 1;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent ran none of them and kept its generation.
    EXPECT_EQ(RUNS, 0);
    EXPECT_EQ(ferrant::fork_generation(), parent_generation);
}

TEST(ForkStateDeathTest, RegisteringPastTheTableAborts) {
    EXPECT_DEATH(
        {
            for (std::size_t i = 0; i <= ferrant::MAX_FORK_CHILD_STEPS; ++i)
                ferrant::register_fork_child(step<9>);
        },
        "too many after-fork steps");
}
