#include <windows.h>

#include <string>
#include <vector>

#include "CrashReporter/app/CrashReporter.h"
#include "CrashReporter/app/StartupArguments.h"
#include "Win32/UniqueHandle.h"

namespace {

constexpr int kTooFewArgumentsExitCode = -1;
constexpr int kExitCode = 0;
// How long a started reporter waits for its first client.
constexpr DWORD kFirstClientWaitMs = 16000;
// Start with the classic path limit and grow up to the longest path the system takes.
constexpr DWORD kInitialPathCapacity = MAX_PATH;
constexpr DWORD kMaximumPathCapacity = 32768;

// The full path of our own program file; false when it cannot be had whole.
bool OwnProgramPath(std::wstring& path)
{
    for (DWORD capacity = kInitialPathCapacity; capacity <= kMaximumPathCapacity; capacity *= 2) {
        std::wstring buffer(capacity, L'\0');
        const DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], capacity);
        if (length == 0) {
            return false;
        }
        // A truncated result fills the buffer; a truncated folder would be the wrong one.
        if (length < capacity - 1) {
            buffer.resize(length);
            path = std::move(buffer);
            return true;
        }
    }
    return false;
}

// Relative paths (the dump directory, extra-file patterns) resolve against our own folder.
void EnterProgramFolder()
{
    std::wstring path;
    if (OwnProgramPath(path)) {
        // A failure leaves it where it was.
        ::SetCurrentDirectoryW(WorkingFolderOfProgram(path).c_str());
    }
}

// The dump folder as a full path, resolved once against our folder: the dump writer, the
// capture and the archive each combine it with names in their own way, and a root-relative
// ("\\dumps") or drive-relative ("C:dumps") folder would otherwise send them to different
// places. A folder that cannot be resolved is used as given.
std::wstring FullFolderPath(const std::wstring& folder)
{
    const DWORD capacity = ::GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    if (capacity == 0) {
        return folder;
    }
    std::wstring full(capacity, L'\0');
    const DWORD length = ::GetFullPathNameW(folder.c_str(), capacity, &full[0], nullptr);
    if (length == 0 || length >= capacity) {
        return folder;
    }
    full.resize(length);
    return full;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < kMinimumArgumentCount) {
        ::OutputDebugStringW(reporter_messages::kUsage);
        return kTooFewArgumentsExitCode;
    }
    EnterProgramFolder();
    const std::vector<std::wstring> extraFiles = ExtraFilesFromArguments(argc, argv);

    // Auto-reset, not signalled; a failed creation makes the first wait fail at once.
    win32::UniqueHandle terminationEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    {
        CrashReporter reporter(argv[1], argv[2], FullFolderPath(argv[3]), argv[4], argv[5], argv[6],
                               extraFiles);
        if (!reporter.Start(terminationEvent.get())) {
            ::OutputDebugStringW(reporter_messages::kCannotStart);
            reporter.Stop();
            return kExitCode;
        }
        ::OutputDebugStringW(reporter_messages::kStarting);

        const DWORD waited = ::WaitForSingleObject(terminationEvent.get(), kFirstClientWaitMs);
        if (waited == WAIT_TIMEOUT && reporter.IsClientConnected()) {
            ::WaitForSingleObject(terminationEvent.get(), INFINITE);
        } else {
            ::OutputDebugStringW(reporter_messages::kNoClient);
        }
        reporter.Stop();
    }
    return kExitCode;
}
