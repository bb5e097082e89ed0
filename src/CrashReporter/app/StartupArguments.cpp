#include "CrashReporter/app/StartupArguments.h"

#include <cwchar>

ClientWord ParseReadHandle(const std::wstring& text)
{
    if constexpr (sizeof(ClientWord) == sizeof(unsigned long long)) {
        return static_cast<ClientWord>(std::wcstoull(text.c_str(), nullptr, 16));
    } else {
        return static_cast<ClientWord>(std::wcstoul(text.c_str(), nullptr, 16));
    }
}

std::wstring FolderOfPath(const std::wstring& path)
{
    const std::size_t cut = path.rfind(L'\\');
    return cut == std::wstring::npos ? path : path.substr(0, cut);
}

std::wstring WorkingFolderOfProgram(const std::wstring& programPath)
{
    std::wstring folder = FolderOfPath(programPath);
    const bool bareDrive = folder.size() == 2 && folder[1] == L':' && folder != programPath;
    if (bareDrive) {
        folder += L'\\';
    }
    return folder;
}

std::vector<std::wstring> ExtraFilesFromArguments(int argc, const wchar_t* const* argv)
{
    std::vector<std::wstring> files;
    for (int i = kFirstExtraFileArgument; i < argc; ++i) {
        files.emplace_back(argv[i]);
    }
    return files;
}
