// Bounded waits shared by every test: a hang fails after the bound, with the
// caller's message saying what did not happen.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace test_support {

// The bound of every wait in the tests.
inline constexpr std::chrono::milliseconds kWaitBound{20000};

// Polls pred until it holds or bound passes; true when it held. The polls start
// a millisecond apart and spread out to longestPause, so a long wait costs little.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound = kWaitBound,
               std::chrono::milliseconds longestPause = std::chrono::milliseconds(50));

// True while the thread tid of this process is blocked (state S or D in /proc).
bool ThreadIsBlocked(pid_t tid);
// True while every other thread of this process is blocked: a thread that has
// just finished a step and then sleeps is then in the wait after that step.
bool OtherThreadsBlocked();
// The most CPU time that any one thread of this process used while during ran.
std::chrono::milliseconds BusiestThreadCpu(const std::function<void()>& during);

}  // namespace test_support
