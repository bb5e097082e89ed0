#pragma once

#include <windows.h>

// Wall-clock time from the performance counter, started at construction.
class Stopwatch {
public:
    Stopwatch();

    void Restart();
    double Seconds() const;

private:
    LARGE_INTEGER start_{};
    LARGE_INTEGER frequency_{};
};
