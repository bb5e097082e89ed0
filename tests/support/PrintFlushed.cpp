#include "PrintFlushed.h"

#include <cstdarg>
#include <cstdio>

void PrintFlushed(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}
