#pragma once

#include <windows.h>

namespace win32 {

// Selects an object into a device context for the lifetime of the scope and selects the
// previous one back at its end, so the object can be deleted afterwards. Declare it after
// the owners of the context and the object: it must end first.
class UniqueGdiSelection {
public:
    UniqueGdiSelection(HDC context, HGDIOBJ object) noexcept : context_(context)
    {
        HGDIOBJ previous = ::SelectObject(context, object);
        if (previous != nullptr && previous != HGDI_ERROR) {
            previous_ = previous;
        }
    }
    ~UniqueGdiSelection()
    {
        if (previous_ != nullptr) {
            ::SelectObject(context_, previous_);
        }
    }

    UniqueGdiSelection(const UniqueGdiSelection&) = delete;
    UniqueGdiSelection& operator=(const UniqueGdiSelection&) = delete;

    // False when the selection failed; nothing is restored then.
    explicit operator bool() const noexcept { return previous_ != nullptr; }

private:
    HDC context_;
    HGDIOBJ previous_ = nullptr;
};

}  // namespace win32
