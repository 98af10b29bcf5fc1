// Simulated monotonic time for the thread that drives the library, for tests only.
//
// Linking sim_clock.cpp into a test executable defines clock_gettime, usleep,
// nanosleep and clock_nanosleep there, the way sim_scanner.cpp defines open and
// ioctl, so the library's time-outs and waits reach it without any change to its
// code. Without a sim::Clock every call goes straight to the C library.
//
// While a sim::Clock exists, the thread that made it reads the monotonic clocks
// (CLOCK_MONOTONIC and its raw, coarse and boot-time kinds) from the simulated
// clock, and its sleeps return at once after moving that clock forward by their
// length. Other threads keep the real clock and sleep for real, and the wall
// clock (CLOCK_REALTIME, time(), the log's time stamps) is never simulated.
// Timed waits that block in the kernel (condition variables, poll) are not
// simulated either: the owning thread should not use them.
//
// Typical use, on the thread that calls the library:
//   sim::Clock clock;                           // time is simulated from here on
//   clock.after_ms(400, [&] { cam.set_register(0x1005, 0); });   // runs inside the sleep that reaches it
//   int64_t t0 = clock.now_ms();
//   ... drive the library ...
//   EXPECT_EQ(clock.now_ms() - t0, 10000);     // exact: only sleeps move the clock
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

class Clock {
public:
    // Starts at the real monotonic time, so stamps taken before stay in the past.
    // One Clock at a time.
    Clock();
    ~Clock();
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    int64_t now_ms() const;
    int64_t now_us() const;
    // Moves the clock forward as a sleep of that length would, running the actions it passes.
    void advance_ms(int64_t ms);
    // Runs action once the clock reaches now + ms, on the thread whose sleep reaches it, at that
    // simulated moment; the sleep then goes on for the rest of its length. Actions due at the
    // same moment run in the order they were given.
    void after_ms(int64_t ms, std::function<void()> action);
    // Every sleep of the owning thread since the start or the last clear, in microseconds.
    std::vector<int64_t> sleeps_us() const;
    void clear_records();
};

}  // namespace sim
