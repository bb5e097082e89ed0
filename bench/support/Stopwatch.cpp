#include "support/Stopwatch.h"

Stopwatch::Stopwatch()
{
    ::QueryPerformanceFrequency(&frequency_);
    Restart();
}

void Stopwatch::Restart()
{
    ::QueryPerformanceCounter(&start_);
}

double Stopwatch::Seconds() const
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start_.QuadPart) /
           static_cast<double>(frequency_.QuadPart);
}
