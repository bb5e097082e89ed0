#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ChildProcess.h"
#include "CrashReporter/package/WindowCapture.h"
#include "TempDirectory.h"
#include "TestPaths.h"

using namespace testing_support;

namespace {

constexpr int kClientWidth = 101;  // odd: 202 bytes a row, padded to 204
constexpr int kClientHeight = 50;
// The helper's colours as 16-bit pixels (5 bits each of red, green, blue).
constexpr std::uint16_t kTopPixel = (0xF0 >> 3) << 10 | (0x80 >> 3) << 5 | (0x10 >> 3);
constexpr std::uint16_t kBottomPixel = (0x18 >> 3) << 10 | (0xA8 >> 3) << 5 | (0xE0 >> 3);

std::uint32_t U32(const std::vector<unsigned char>& b, std::size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

std::uint16_t U16(const std::vector<unsigned char>& b, std::size_t at)
{
    return std::uint16_t(b[at] | b[at + 1] << 8);
}

// Measures of the GDI objects in use: the system's count where it keeps one, and the highest
// slot a batch of fresh brushes gets. Freed slots are handed out again first, so every object
// still held pushes the batch one slot further.
struct GdiUse {
    DWORD count;
    UINT_PTR highestSlot;
};

GdiUse MeasureGdiUse()
{
    const DWORD count = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    std::vector<HBRUSH> brushes;
    UINT_PTR highest = 0;
    for (int i = 0; i < 256; ++i) {
        brushes.push_back(::CreateSolidBrush(RGB(i, i, i)));
        highest = std::max(highest, reinterpret_cast<UINT_PTR>(brushes.back()) & 0xFFFF);
    }
    for (HBRUSH brush : brushes) {
        ::DeleteObject(brush);
    }
    return {count, highest};
}

// A window of another process, shared by every case.
class WindowCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (painter_ == nullptr) {
            painter_ = new ChildProcess;
            std::string line;
            ASSERT_TRUE(
                painter_->Start(ProgramPath(L"PaintedWindow.exe"),
                                {std::to_wstring(kClientWidth), std::to_wstring(kClientHeight)}));
            ASSERT_TRUE(painter_->ReadLine(line)) << "the window did not appear";
            auto n = ParseNumbers(line);
            ASSERT_EQ(n.size(), 3u) << line;
            window_ = reinterpret_cast<HWND>(static_cast<UINT_PTR>(n[0]));
            ASSERT_EQ(n[1], unsigned(kClientWidth));
            ASSERT_EQ(n[2], unsigned(kClientHeight));
        }
        ASSERT_NE(window_, nullptr);
    }
    static void TearDownTestSuite()
    {
        delete painter_;
        painter_ = nullptr;
    }

    static ChildProcess* painter_;
    static HWND window_;
    TempDirectory dir_;
};

ChildProcess* WindowCaptureTest::painter_ = nullptr;
HWND WindowCaptureTest::window_ = nullptr;

TEST_F(WindowCaptureTest, ClientAreaOfAnotherProcessIsStoredAt16BitsBottomUp)
{
    const std::wstring base = dir_.File(L"shot");
    WindowCapture capture;
    // The painter may not have reached the screen yet right after it reported.
    bool painted = false;
    std::vector<unsigned char> file;
    const std::uint32_t rowBytes = 204;
    for (int attempt = 0; attempt < 50 && !painted; ++attempt) {
        ASSERT_TRUE(capture.CaptureToFile(base, window_));
        file = ReadWholeFile(base + L".bmp");
        ASSERT_GE(file.size(), 54u);
        painted = U16(file, 54 + (kClientHeight - 1) * rowBytes) == kTopPixel;
        if (!painted) {
            ::Sleep(100);
        }
    }
    ASSERT_TRUE(painted);

    const std::uint32_t imageSize = rowBytes * kClientHeight;
    ASSERT_EQ(file.size(), 54u + imageSize);
    EXPECT_EQ(U16(file, 0), 0x4D42);
    EXPECT_EQ(U32(file, 2), 54u + imageSize);
    EXPECT_EQ(U32(file, 6), 0u);
    EXPECT_EQ(U32(file, 10), 54u);
    EXPECT_EQ(U32(file, 14), 40u);
    EXPECT_EQ(std::int32_t(U32(file, 18)), kClientWidth);
    EXPECT_EQ(std::int32_t(U32(file, 22)), kClientHeight);
    EXPECT_EQ(U16(file, 26), 1);
    EXPECT_EQ(U16(file, 28), 16);
    EXPECT_EQ(U32(file, 30), 0u);
    EXPECT_EQ(U32(file, 34), imageSize);

    // Row 0 of the file is the bottom of the window; every pixel of each half is its colour
    // (bit 15 is ignored by the format).
    for (int row = 0; row < kClientHeight; ++row) {
        const std::uint16_t expected = row < kClientHeight / 2 ? kBottomPixel : kTopPixel;
        for (int x = 0; x < kClientWidth; x += 10) {
            ASSERT_EQ(U16(file, 54 + row * rowBytes + x * 2) & 0x7FFF, expected)
                << "row " << row << " x " << x;
        }
    }

    const CapturedImage* image = capture.Image();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->infoBlockSize, 40u);
    EXPECT_EQ(image->pixelDataSize, imageSize);
    EXPECT_EQ(std::memcmp(image->infoBlock.get(), &file[14], 40), 0);
}

TEST_F(WindowCaptureTest, RepeatedCapturesHoldNoGdiObjects)
{
    const std::wstring base = dir_.File(L"shot");
    {
        WindowCapture warmUp;  // first-use allocations of the platform are not leaks
        ASSERT_TRUE(warmUp.CaptureToFile(base, window_));
    }
    const GdiUse before = MeasureGdiUse();
    for (int i = 0; i < 20; ++i) {
        WindowCapture capture;
        ASSERT_TRUE(capture.CaptureToFile(base, window_));
    }
    WindowCapture failing;
    EXPECT_FALSE(failing.CaptureToFile(std::wstring(300, L'x'), window_));
    const GdiUse after = MeasureGdiUse();
    EXPECT_LE(after.count, before.count);
    EXPECT_LE(after.highestSlot, before.highestSlot);
}

TEST_F(WindowCaptureTest, ExistingFileIsReplaced)
{
    const std::wstring path = dir_.File(L"shot.bmp");
    std::vector<unsigned char> junk(100000, 0xAB);
    ASSERT_TRUE(WriteWholeFile(path, junk.data(), junk.size()));
    WindowCapture capture;
    ASSERT_TRUE(capture.CaptureToFile(dir_.File(L"shot"), window_));
    auto file = ReadWholeFile(path);
    EXPECT_EQ(file.size(), 54u + 204u * kClientHeight);
    EXPECT_EQ(U16(file, 0), 0x4D42);
}

TEST_F(WindowCaptureTest, WindowThatNoLongerExistsGivesNoFile)
{
    ChildProcess gone;
    std::string line;
    ASSERT_TRUE(gone.Start(ProgramPath(L"PaintedWindow.exe"), {L"20", L"20"}));
    ASSERT_TRUE(gone.ReadLine(line));
    HWND stale = reinterpret_cast<HWND>(static_cast<UINT_PTR>(ParseNumbers(line).at(0)));
    gone.Kill();
    for (int i = 0; i < 50 && ::IsWindow(stale); ++i) {
        ::Sleep(100);
    }
    ASSERT_FALSE(::IsWindow(stale));

    for (HWND window : {stale, reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x7FFFFFF0))}) {
        WindowCapture capture;
        EXPECT_FALSE(capture.CaptureToFile(dir_.File(L"shot"), window));
        ASSERT_NE(capture.Image(), nullptr);
        EXPECT_EQ(capture.Image()->infoBlock, nullptr);
        EXPECT_EQ(capture.Image()->infoBlockSize, 0u);
    }
    EXPECT_TRUE(dir_.FileNames().empty());
}

TEST_F(WindowCaptureTest, BasePathTooLongForThePathBufferWritesNothing)
{
    // The bitmap path may have 259 characters; one more must fail. A subfolder takes up the
    // length, as a single name would exceed what file systems allow.
    constexpr std::size_t kStem = 50;
    const std::size_t folderLength = 255 - dir_.Path().size() - 2 - kStem;
    const std::wstring folder = dir_.File(std::wstring(folderLength, L'd'));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring fits = folder + L"\\" + std::wstring(kStem, L'a');
    const std::wstring tooLong = folder + L"\\" + std::wstring(kStem + 1, L'b');
    ASSERT_EQ(fits.size() + 4, 259u);

    WindowCapture fitting;
    EXPECT_TRUE(fitting.CaptureToFile(fits, window_));
    EXPECT_TRUE(FileExists(fits + L".bmp"));
    WindowCapture failing;
    EXPECT_FALSE(failing.CaptureToFile(tooLong, window_));
    EXPECT_FALSE(FileExists(tooLong + L".bmp"));
}

}  // namespace
