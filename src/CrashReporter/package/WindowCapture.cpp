#include "CrashReporter/package/WindowCapture.h"

#include <cstring>
#include <new>

#include "CrashReporter/package/BitmapLayout.h"
#include "Win32/UniqueGdiMemoryDC.h"
#include "Win32/UniqueGdiObject.h"
#include "Win32/UniqueGdiSelection.h"
#include "Win32/UniqueGdiWindowDC.h"
#include "Win32/UniqueHandle.h"

namespace {

bool WriteAll(HANDLE file, const void* data, std::uint32_t size)
{
    DWORD written = 0;
    return ::WriteFile(file, data, size, &written, nullptr) && written == size;
}

}  // namespace

bool WindowCapture::CaptureToFile(const std::wstring& basePath, HWND window)
{
    image_.reset(new (std::nothrow) CapturedImage);
    if (!image_) {
        return false;
    }
    if (!Capture(window)) {
        image_->pixelData.reset();
        image_->infoBlock.reset();
        image_->pixelDataSize = 0;
        image_->infoBlockSize = 0;
        return false;
    }
    std::wstring path;
    if (!MakeBitmapPath(basePath, path)) {
        return false;
    }
    return WriteBitmapFile(path);
}

// The owners are declared in creation order, so they are released in the reverse: the
// bitmap is deselected, then the memory context, the bitmap and the window context go.
bool WindowCapture::Capture(HWND window)
{
    win32::UniqueGdiWindowDC windowContext(window, ::GetDC(window));
    if (!windowContext) {
        return false;
    }
    RECT client{};
    if (!::GetClientRect(window, &client)) {
        return false;
    }
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;

    win32::UniqueGdiObject<HBITMAP> bitmap(
        ::CreateCompatibleBitmap(windowContext.get(), width, height));
    if (!bitmap) {
        return false;
    }
    win32::UniqueGdiMemoryDC memoryContext(::CreateCompatibleDC(windowContext.get()));
    if (!memoryContext) {
        return false;
    }
    {
        // The bitmap must not stay selected while its bits are read out below.
        win32::UniqueGdiSelection selection(memoryContext.get(), bitmap.get());
        if (!selection || !::BitBlt(memoryContext.get(), 0, 0, width, height, windowContext.get(),
                                    0, 0, SRCCOPY)) {
            return false;
        }
    }

    BITMAP description{};
    if (::GetObjectW(bitmap.get(), sizeof(description), &description) == 0) {
        return false;
    }
    const auto screenDepth =
        static_cast<std::uint16_t>(description.bmPlanes * description.bmBitsPixel);
    const StoredBitmapFormat format = StoredFormatForScreenDepth(screenDepth);

    CapturedImage& image = *image_;
    image.infoBlock.reset(new (std::nothrow) std::uint8_t[format.infoBlockSize]());
    if (!image.infoBlock) {
        return false;
    }
    image.infoBlockSize = format.infoBlockSize;
    WriteBitmapInfoHeader(image.infoBlock.get(), width, height, format.bitsPerPixel);
    auto* info = reinterpret_cast<BITMAPINFO*>(image.infoBlock.get());

    // Without a buffer the query fills in the palette and, usually, the image size.
    ::GetDIBits(memoryContext.get(), bitmap.get(), 0, static_cast<UINT>(height), nullptr, info,
                DIB_RGB_COLORS);
    const std::uint32_t pixelDataSize =
        PixelDataSizeFor(info->bmiHeader.biSizeImage, width, height, format.bitsPerPixel);
    if (pixelDataSize == 0) {
        return false;
    }
    info->bmiHeader.biSizeImage = pixelDataSize;
    image.pixelData.reset(new (std::nothrow) std::uint8_t[pixelDataSize]);
    if (!image.pixelData) {
        return false;
    }
    image.pixelDataSize = pixelDataSize;
    return ::GetDIBits(memoryContext.get(), bitmap.get(), 0, static_cast<UINT>(height),
                       image.pixelData.get(), info, DIB_RGB_COLORS) != 0;
}

bool WindowCapture::WriteBitmapFile(const std::wstring& path) const
{
    const CapturedImage& image = *image_;
    const auto header = MakeBitmapFileHeader(image.infoBlockSize, image.pixelDataSize);
    bool written;
    {
        win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        written = WriteAll(file.get(), header.data(), kBitmapFileHeaderSize) &&
                  WriteAll(file.get(), image.infoBlock.get(), image.infoBlockSize) &&
                  WriteAll(file.get(), image.pixelData.get(), image.pixelDataSize);
    }
    if (!written) {
        // A truncated bitmap would travel in the report as if it were whole.
        ::DeleteFileW(path.c_str());
    }
    return written;
}
