#include "CrashClient/HangClock.h"

void HangClock::Answered(std::uint64_t now)
{
    lastAnswer_ = now;
    answered_ = true;
    reported_ = false;
}

bool HangClock::IsNewHang(std::uint64_t now)
{
    if (!answered_ || reported_ || SilentFor(now) < thresholdMs_) {
        return false;
    }
    reported_ = true;
    return true;
}

void HangClock::Restart(std::uint64_t now)
{
    if (answered_) {
        lastAnswer_ = now;
    }
}

std::uint64_t HangClock::SilentFor(std::uint64_t now) const
{
    return answered_ && now > lastAnswer_ ? now - lastAnswer_ : 0;
}
