#pragma once

#include <windows.h>

namespace win32 {

// A re-entrant lock; neither copied nor moved, since the system keeps pointers into it.
class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&section_); }
    explicit CriticalSection(DWORD spinCount) noexcept
    {
        ::InitializeCriticalSectionAndSpinCount(&section_, spinCount);
    }
    ~CriticalSection() { ::DeleteCriticalSection(&section_); }

    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&section_); }
    void Leave() noexcept { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Holds a CriticalSection for the lifetime of the scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& section) noexcept : section_(section)
    {
        section_.Enter();
    }
    ~CriticalSectionLock() { section_.Leave(); }

    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& section_;
};

}  // namespace win32
