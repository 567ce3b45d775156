#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/audio/ProcessTree.h"

namespace tamro::test {
namespace {

TEST(ProcessTreeTest, ParentFromStatText) {
    EXPECT_EQ(platform::ParseParentFromStat("42 (paplay) S 7 42 42 0 -1"), 7u);
    // Command names may hold spaces and closing brackets.
    EXPECT_EQ(platform::ParseParentFromStat("42 (my (odd) app) R 1234 1 1"), 1234u);
    EXPECT_EQ(platform::ParseParentFromStat("42 (x)"), std::nullopt);
    EXPECT_EQ(platform::ParseParentFromStat("garbage"), std::nullopt);
    EXPECT_EQ(platform::ParseParentFromStat("42 (x) S abc"), std::nullopt);
}

TEST(ProcessTreeTest, ChildrenBelongToTheTreeParentsDoNot) {
    const auto self = static_cast<uint32_t>(::getpid());
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    const auto childPid = static_cast<uint32_t>(child);
    EXPECT_TRUE(platform::IsInProcessTree(self, self));
    EXPECT_TRUE(platform::IsInProcessTree(childPid, self));
    EXPECT_FALSE(platform::IsInProcessTree(self, childPid));
    EXPECT_FALSE(platform::IsInProcessTree(childPid, 0));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(platform::IsInProcessTree(childPid, self)) << "a process that is gone";
}

}  // namespace
}  // namespace tamro::test
