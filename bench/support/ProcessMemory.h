#pragma once

#include <cstddef>

// Working-set figures of the calling process, in bytes; 0 when the system does not say.
std::size_t PeakWorkingSetBytes();
std::size_t WorkingSetBytes();
