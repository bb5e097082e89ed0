#pragma once

#include <windows.h>

#include <utility>

namespace win32 {

// A window's device context from GetDC. ReleaseDC needs the window as well as the context,
// so the owner keeps both.
class UniqueGdiWindowDC {
public:
    UniqueGdiWindowDC() noexcept = default;
    UniqueGdiWindowDC(HWND window, HDC context) noexcept : window_(window), context_(context) {}
    ~UniqueGdiWindowDC() { reset(); }

    UniqueGdiWindowDC(UniqueGdiWindowDC&& other) noexcept
        : window_(std::exchange(other.window_, nullptr)),
          context_(std::exchange(other.context_, nullptr))
    {
    }
    UniqueGdiWindowDC& operator=(UniqueGdiWindowDC&& other) noexcept
    {
        if (this != &other) {
            reset();
            window_ = std::exchange(other.window_, nullptr);
            context_ = std::exchange(other.context_, nullptr);
        }
        return *this;
    }
    UniqueGdiWindowDC(const UniqueGdiWindowDC&) = delete;
    UniqueGdiWindowDC& operator=(const UniqueGdiWindowDC&) = delete;

    HDC get() const noexcept { return context_; }
    HWND window() const noexcept { return window_; }
    explicit operator bool() const noexcept { return context_ != nullptr; }

    void reset() noexcept
    {
        if (context_ != nullptr) {
            ::ReleaseDC(window_, context_);
        }
        window_ = nullptr;
        context_ = nullptr;
    }

private:
    HWND window_ = nullptr;
    HDC context_ = nullptr;
};

}  // namespace win32
