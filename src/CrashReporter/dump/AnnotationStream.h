#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CrashProtocol/PipeMessage.h"

// The dump user stream that carries the reporter's copy of a client's annotations:
//   offset 0   uint32 little-endian  entry count N
//   offset 4   N entries of 256 bytes: name then value, each 64 UTF-16LE code units,
//              NUL-terminated within them
// Entries with an empty name (unused slots of the client's array) are left out; the copy's
// "ptime" entry, always last in the copy, stays last. Pure, no system calls.
std::vector<std::uint8_t> EncodeAnnotationStream(const ClientAnnotation* entries,
                                                 std::size_t count);
