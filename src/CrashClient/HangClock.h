#pragma once

#include <cstdint>

// When a watched thread counts as hung: silent for the threshold since it last answered. Pure;
// the caller brings the time (milliseconds of a monotonic clock).
//
// A thread is watched only once it has answered for the first time, and a hang counts once:
// the next one only after the thread has answered again.
class HangClock {
public:
    HangClock() = default;
    explicit HangClock(std::uint64_t thresholdMs) : thresholdMs_(thresholdMs) {}

    // The thread answered (a window took the probe, or a heartbeat came).
    void Answered(std::uint64_t now);

    // True once per hang: the thread answered before and has been silent for the threshold.
    bool IsNewHang(std::uint64_t now);

    // After a pause, or a gap in which the whole machine slept: silence counts from now.
    void Restart(std::uint64_t now);

    // How long the thread has been silent; 0 before its first answer.
    std::uint64_t SilentFor(std::uint64_t now) const;

    bool Watching() const { return answered_; }

private:
    std::uint64_t thresholdMs_ = 0;
    std::uint64_t lastAnswer_ = 0;
    bool answered_ = false;
    bool reported_ = false;
};
