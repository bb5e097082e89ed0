#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "CrashReporter/package/CapturedImage.h"

// Copies the client area of a window, possibly another process's, into a bitmap file. Deep
// screens are stored at 16 bits per pixel. Used for one capture; the captured buffers live
// until the object goes away.
class WindowCapture {
public:
    WindowCapture() = default;
    ~WindowCapture() = default;
    WindowCapture(const WindowCapture&) = delete;
    WindowCapture& operator=(const WindowCapture&) = delete;

    // Writes basePath + ".bmp", replacing an existing file. True when the whole file was
    // written; on false no file is left behind by this call.
    bool CaptureToFile(const std::wstring& basePath, HWND window);

    // The record of the last capture: null before one, empty after a failed one.
    const CapturedImage* Image() const { return image_.get(); }

private:
    bool Capture(HWND window);
    bool WriteBitmapFile(const std::wstring& path) const;

    std::unique_ptr<CapturedImage> image_;
};
