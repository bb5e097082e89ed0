// A window painted in two known colours, for captures taken from another process:
//   PaintedWindow <client width> <client height>
// The top half of the client area is kTopColour, the bottom half kBottomColour. Once shown
// and painted it prints "<window handle> <client width> <client height>" and runs until it
// is killed. The colours' low three bits are zero, so 16-bit pixels hold them exactly.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr COLORREF kTopColour = RGB(0xF0, 0x80, 0x10);
constexpr COLORREF kBottomColour = RGB(0x18, 0xA8, 0xE0);
// Away from the corner where other programs' windows appear first.
constexpr int kLeft = 600;
constexpr int kTop = 400;

void Fill(HDC dc, const RECT& area, COLORREF colour)
{
    HBRUSH brush = ::CreateSolidBrush(colour);
    ::FillRect(dc, &area, brush);
    ::DeleteObject(brush);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(window, &paint);
            RECT client;
            ::GetClientRect(window, &client);
            RECT top = client;
            top.bottom = client.bottom / 2;
            RECT bottom = client;
            bottom.top = top.bottom;
            Fill(dc, top, kTopColour);
            Fill(dc, bottom, kBottomColour);
            ::EndPaint(window, &paint);
            return 0;
        }
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: PaintedWindow <client width> <client height>\n");
        return 2;
    }
    const int width = std::wcstol(argv[1], nullptr, 10);
    const int height = std::wcstol(argv[2], nullptr, 10);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PaintedWindow";
    if (!::RegisterClassW(&windowClass)) {
        return 1;
    }
    // A pop-up window has no frame: its client area is the whole window.
    HWND window = ::CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"PaintedWindow",
                                    L"PaintedWindow", WS_POPUP, kLeft, kTop, width, height, nullptr,
                                    nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) {
        std::fprintf(stderr, "no window (error %lu): is DISPLAY set?\n", ::GetLastError());
        return 1;
    }
    ::ShowWindow(window, SW_SHOWNOACTIVATE);
    ::UpdateWindow(window);
    ::GdiFlush();
    RECT client;
    ::GetClientRect(window, &client);
    std::printf("0x%lx %ld %ld\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)),
                client.right - client.left, client.bottom - client.top);
    std::fflush(stdout);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
