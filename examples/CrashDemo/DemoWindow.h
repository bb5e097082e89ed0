#pragma once

#include <windows.h>

// The demo's main window: a frame with colour bands and a few lines of text, painted by the
// process itself, so the reporter's screenshot shows something recognisable. Owns the window.
class DemoWindow {
public:
    DemoWindow() = default;
    DemoWindow(const DemoWindow&) = delete;
    DemoWindow& operator=(const DemoWindow&) = delete;
    ~DemoWindow();

    // Registers the class, creates, shows and paints the window. False without a display.
    bool Create(HINSTANCE instance);

    HWND Handle() const { return window_; }

    // Dispatches messages for about durationMs, so the window is on screen and painted.
    static void PumpMessages(DWORD durationMs);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static void Paint(HWND window, HDC dc);

    HWND window_ = nullptr;
};
