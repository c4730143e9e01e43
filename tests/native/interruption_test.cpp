// Interrupted system calls are retried as long as the thread's policy resumes them.
#include "posix/interruption.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace fendral::posix {
namespace {

// Resumes the first `resumptions` interrupted calls, then gives up; counts the questions.
class CountingPolicy final : public InterruptionPolicy {
 public:
  explicit CountingPolicy(int resumptions) : resumptions_(resumptions) {}
  bool resume_after_signal() override {
    ++asked;
    errno = 0;  // the caller's errno must survive a handler that changes it
    return asked <= resumptions_;
  }
  int asked = 0;

 private:
  int resumptions_;
};

// A system call that fails with EINTR `interruptions` times and then returns 7.
struct InterruptedCall {
  int interruptions;
  int calls = 0;
  int operator()() {
    ++calls;
    if (calls <= interruptions) {
      errno = EINTR;
      return -1;
    }
    return 7;
  }
};

TEST(RetryOnEintr, ResumesWhilePolicySaysSo) {
  CountingPolicy policy(5);
  InterruptionScope scope(policy);
  InterruptedCall call{.interruptions = 2};
  EXPECT_EQ(retry_on_eintr(call), 7);
  EXPECT_EQ(call.calls, 3);
  EXPECT_EQ(policy.asked, 2);
}

TEST(RetryOnEintr, StopsWhenPolicyGivesUpWithErrnoKept) {
  CountingPolicy policy(1);
  InterruptionScope scope(policy);
  InterruptedCall call{.interruptions = 10};
  EXPECT_EQ(retry_on_eintr(call), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(call.calls, 2);
}

TEST(RetryOnEintr, OtherFailuresAreNotRetried) {
  CountingPolicy policy(5);
  InterruptionScope scope(policy);
  int calls = 0;
  const auto failing = [&] {
    ++calls;
    errno = ENOENT;
    return -1L;
  };
  EXPECT_EQ(retry_on_eintr(failing), -1L);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(policy.asked, 0);
}

TEST(RetryOnEintr, WithoutPolicyEveryInterruptionIsResumed) {
  InterruptedCall call{.interruptions = 3};
  EXPECT_EQ(retry_on_eintr(call), 7);
  EXPECT_EQ(call.calls, 4);
}

TEST(InterruptRequested, NowAsksEveryTimeThrottledAtMostOncePerInterval) {
  CountingPolicy policy(0);
  InterruptionScope scope(policy);
  EXPECT_TRUE(interrupt_requested(Check::Now));
  EXPECT_TRUE(interrupt_requested(Check::Now));
  EXPECT_EQ(policy.asked, 2);
  EXPECT_TRUE(interrupt_requested(Check::Throttled));
  // Well within kInterruptionCheckMilliseconds of the question before.
  EXPECT_FALSE(interrupt_requested(Check::Throttled));
  EXPECT_EQ(policy.asked, 3);
}

TEST(InterruptRequested, NeverWithoutPolicy) {
  EXPECT_FALSE(interrupt_requested(Check::Now));
}

}  // namespace
}  // namespace fendral::posix
