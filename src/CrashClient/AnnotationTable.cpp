#include "CrashClient/AnnotationTable.h"

#include <cwchar>

#include "CrashProtocol/Annotations.h"

AnnotationTable::AnnotationTable(std::size_t capacity)
    : entries_(capacity), lock_(::CreateMutexW(nullptr, FALSE, nullptr))
{
}

bool AnnotationTable::Set(const std::wstring& name, const std::wstring& value)
{
    if (name.empty() || !Hold(INFINITE)) {
        return false;
    }
    const std::size_t slot = FindAnnotationSlot(entries_.data(), entries_.size(), name);
    const bool found = slot < entries_.size();
    if (found) {
        ClientAnnotation& entry = entries_[slot];
        if (value.empty()) {
            entry = ClientAnnotation{};
        } else {
            SetAnnotationText(entry.value, value);
            SetAnnotationText(entry.name, name);
        }
    }
    Release();
    return found || value.empty();
}

bool AnnotationTable::Hold(DWORD timeoutMs)
{
    if (!lock_) {
        return true;  // the system had no mutex for us: unguarded, but never stuck
    }
    const DWORD result = ::WaitForSingleObject(lock_.get(), timeoutMs);
    // An abandoned lock is held all the same; its entry may be half written, as a crash
    // that stopped a writer left it.
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void AnnotationTable::Release()
{
    if (lock_) {
        ::ReleaseMutex(lock_.get());
    }
}

ClientWord AnnotationTable::Address() const
{
    return entries_.empty()
               ? 0
               : reinterpret_cast<ClientWord>(entries_.data());
}

std::size_t FindAnnotationSlot(const ClientAnnotation* entries, std::size_t count,
                               const std::wstring& name)
{
    std::wstring shortened;
    const wchar_t* wanted = name.c_str();
    if (name.size() >= kAnnotationTextUnits) {
        shortened = name.substr(0, kAnnotationTextUnits - 1);
        wanted = shortened.c_str();
    }
    std::size_t firstFree = count;
    for (std::size_t i = 0; i < count; ++i) {
        if (entries[i].name[0] == L'\0') {
            firstFree = firstFree < count ? firstFree : i;
        } else if (std::wcsncmp(entries[i].name, wanted, kAnnotationTextUnits) == 0) {
            return i;
        }
    }
    return firstFree;
}
