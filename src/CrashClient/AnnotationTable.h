#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CrashProtocol/PipeMessage.h"
#include "Win32/UniqueHandle.h"

// The annotation array a registered client shows its reporter: a fixed number of entries at
// a fixed address, read by the reporter from outside at every dump request. Writers take a
// lock; the crash path holds the same lock while the reporter reads, so an entry is never
// read half written, and gives up waiting for it after a bound, since the thread that holds
// it may be the one that crashed.
class AnnotationTable {
public:
    explicit AnnotationTable(std::size_t capacity);
    AnnotationTable(const AnnotationTable&) = delete;
    AnnotationTable& operator=(const AnnotationTable&) = delete;

    // Sets name to value; a new name takes the first free entry. An empty value removes the
    // name. Text is cut to 63 code units. False for an empty name or when every entry is
    // taken.
    bool Set(const std::wstring& name, const std::wstring& value);

    // Keeps writers out for up to timeoutMs; true once held. Release ends a successful Hold.
    bool Hold(DWORD timeoutMs);
    void Release();

    ClientWord Address() const;
    std::uint32_t Capacity() const { return static_cast<std::uint32_t>(entries_.size()); }

private:
    std::vector<ClientAnnotation> entries_;
    win32::UniqueHandle lock_;  // a mutex: the crash path needs a wait with a time-out
};

// The index of the entry named name, or of the first free entry when none is, or count
// when neither exists. Pure.
std::size_t FindAnnotationSlot(const ClientAnnotation* entries, std::size_t count,
                               const std::wstring& name);
