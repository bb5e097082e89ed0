// Writes dumps of a crashed helper process into the folder named by the first argument, for
// readers outside the test programs. Prints "thread <id>", then "dump <path>" per file.
#include <windows.h>

#include <cstdio>

#include "ChildProcess.h"
#include "CrashReporter/dump/DumpNaming.h"
#include "CrashReporter/dump/DumpWriter.h"
#include "TestPaths.h"

using namespace testing_support;

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: WriteChildDump <folder> <dump type>\n");
        return 2;
    }
    ChildProcess child;
    std::string line;
    if (!child.Start(ProgramPath(L"DumpTarget.exe"), {L"crash"}) || !child.ReadLine(line)) {
        return 1;
    }
    auto n = ParseNumbers(line);
    if (n.size() != 5) {
        return 1;
    }
    const std::uint32_t dumpType = std::uint32_t(std::wcstoul(argv[2], nullptr, 0));
    DumpWriter writer(argv[1]);
    std::wstring path;
    if (!writer.WriteDump(child.Process(), child.Id(), DWORD(n[0]), ClientWord(n[1]), ClientWord(n[4]),
                          dumpType, &path)) {
        return 1;
    }
    std::printf("thread %lu\n", static_cast<unsigned long>(n[0]));
    std::printf("dump %ls\n", path.c_str());
    if (WantsFullMemoryPair(dumpType)) {
        std::printf("dump %ls\n", FullDumpPathFor(path).c_str());
    }
    return 0;
}
