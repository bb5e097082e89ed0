#pragma once

// printf to standard output, flushed at once: the test drivers read helper programs' output
// line by line while the program runs, and a crash must not take buffered lines with it.
void PrintFlushed(const char* format, ...) __attribute__((format(printf, 1, 2)));
