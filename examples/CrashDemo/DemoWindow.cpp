#include "CrashDemo/DemoWindow.h"

#include <cwchar>
#include <iterator>

namespace {

constexpr wchar_t kClassName[] = L"CrashDemoWindow";
constexpr wchar_t kTitle[] = L"CrashDemo";
constexpr int kLeft = 60;
constexpr int kTop = 60;
constexpr int kWidth = 520;
constexpr int kHeight = 360;
constexpr int kTextMargin = 16;
constexpr int kLineHeight = 22;

// Saturated colours whose low bits are zero survive a 16-bit screenshot unchanged.
constexpr COLORREF kBands[] = {RGB(0xF0, 0x80, 0x10), RGB(0x18, 0xA8, 0xE0), RGB(0x40, 0xC0, 0x40),
                               RGB(0xC0, 0x28, 0x60)};
constexpr COLORREF kTextColour = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF kPanelColour = RGB(0x20, 0x20, 0x30);

void Fill(HDC dc, const RECT& area, COLORREF colour)
{
    HBRUSH brush = ::CreateSolidBrush(colour);
    if (brush != nullptr) {
        ::FillRect(dc, &area, brush);
        ::DeleteObject(brush);
    }
}

}  // namespace

DemoWindow::~DemoWindow()
{
    if (window_ != nullptr) {
        ::DestroyWindow(window_);
    }
}

bool DemoWindow::Create(HINSTANCE instance)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    if (!::RegisterClassW(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    // Topmost, so no other window hides it from the screenshot.
    window_ = ::CreateWindowExW(WS_EX_TOPMOST, kClassName, kTitle,
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, kLeft, kTop, kWidth,
                                kHeight, nullptr, nullptr, instance, nullptr);
    if (window_ == nullptr) {
        return false;
    }
    ::ShowWindow(window_, SW_SHOWNORMAL);
    ::UpdateWindow(window_);
    ::GdiFlush();
    return true;
}

void DemoWindow::PumpMessages(DWORD durationMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + durationMs;
    for (;;) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            return;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                    QS_ALLINPUT);
    }
}

LRESULT CALLBACK DemoWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers every pixel
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(window, &paint);
            Paint(window, dc);
            ::EndPaint(window, &paint);
            return 0;
        }
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

void DemoWindow::Paint(HWND window, HDC dc)
{
    RECT client;
    ::GetClientRect(window, &client);
    const int bandCount = static_cast<int>(std::size(kBands));
    const int bandHeight = (client.bottom - client.top) / 2 / bandCount;
    RECT band = client;
    for (int i = 0; i < bandCount; ++i) {
        band.top = client.top + i * bandHeight;
        band.bottom = band.top + bandHeight;
        Fill(dc, band, kBands[i]);
    }
    RECT panel = client;
    panel.top = band.bottom;
    Fill(dc, panel, kPanelColour);

    wchar_t process[64];
    std::swprintf(process, std::size(process), L"process %lu, thread %lu", ::GetCurrentProcessId(),
                  ::GetCurrentThreadId());
    const wchar_t* lines[] = {L"CrashDemo: a sample client of the crash reporter", process,
                              L"This window is about to crash on purpose.",
                              L"The reporter captures it into the crash report."};
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, kTextColour);
    int y = panel.top + kTextMargin;
    for (const wchar_t* line : lines) {
        ::TextOutW(dc, kTextMargin, y, line, static_cast<int>(std::wcslen(line)));
        y += kLineHeight;
    }
}
