#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "CrashProtocol/PipeMessage.h"

// Rules for the server's copy of a client's annotation array; pure, no system calls.

// The name of the entry the server appends behind the client's own.
constexpr wchar_t kElapsedAnnotationName[] = L"ptime";

// A client may claim any count; the server copies at most this many entries (1 MiB) and
// treats a larger claim as no annotations at all, so a hostile count cannot exhaust memory
// or stall a dump request on a huge cross-process read.
constexpr std::uint32_t kMaxAnnotationCount = 4096;

// How many entries the copy holds for a claimed count: the client's entries and "ptime",
// or "ptime" alone when the claim is over the bound.
std::size_t AnnotationSlotsFor(std::uint32_t annotationCount);

// Whether the client's array is read at all for this count.
bool ReadsClientAnnotations(std::uint32_t annotationCount);

// Whole milliseconds of an elapsed time given in 100-ns units, in decimal.
std::wstring ElapsedMillisecondsText(std::uint64_t elapsed100ns);

// Copies text into a fixed annotation field, truncated so that it stays NUL-terminated.
void SetAnnotationText(wchar_t (&field)[kAnnotationTextUnits], const std::wstring& text);
