#include "CrashReporter/dump/DumpWriter.h"

#include <cstring>

#include "CrashReporter/dump/DumpNaming.h"
#include "CrashProtocol/PipeMessage.h"
#include "Win32/UniqueHandle.h"

namespace {

constexpr wchar_t kDebugHelpLibrary[] = L"dbghelp.dll";
constexpr wchar_t kRpcLibrary[] = L"rpcrt4.dll";
// System libraries come from the system folder only, never from a planted copy elsewhere.
constexpr DWORD kSystemLibrarySearch = LOAD_LIBRARY_SEARCH_SYSTEM32;

template <typename Function>
Function LookUp(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

win32::UniqueHandle CreateDumpFile(const std::wstring& path)
{
    return win32::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

DumpWriter::DumpWriter(const std::wstring& dumpDirectory) : dumpDirectory_(dumpDirectory) {}

DumpWriter::~DumpWriter()
{
    debugHelpModule_.reset();
    rpcModule_.reset();
}

DumpWriter::MiniDumpWriteDumpFunction DumpWriter::ResolveDumpFunction()
{
    win32::CriticalSectionLock resolve(resolveLock_);
    if (dumpFunction_ == nullptr) {
        HMODULE module;
        {
            win32::CriticalSectionLock library(libraryLock_);
            if (!debugHelpModule_) {
                debugHelpModule_.reset(
                    ::LoadLibraryExW(kDebugHelpLibrary, nullptr, kSystemLibrarySearch));
            }
            module = debugHelpModule_.get();
        }
        if (module != nullptr) {
            dumpFunction_ = LookUp<MiniDumpWriteDumpFunction>(module, "MiniDumpWriteDump");
        }
    }
    return dumpFunction_;
}

bool DumpWriter::MakeDumpPath(std::wstring& path)
{
    UuidCreateFunction uuidCreate;
    {
        win32::CriticalSectionLock library(libraryLock_);
        if (uuidFunction_ == nullptr) {
            if (!rpcModule_) {
                rpcModule_.reset(::LoadLibraryExW(kRpcLibrary, nullptr, kSystemLibrarySearch));
            }
            if (rpcModule_) {
                uuidFunction_ = LookUp<UuidCreateFunction>(rpcModule_.get(), "UuidCreate");
            }
        }
        uuidCreate = uuidFunction_;
    }
    if (uuidCreate == nullptr) {
        return false;
    }
    UUID uuid{};
    uuidCreate(&uuid);  // the status does not matter: whatever the bytes hold names the dump
    std::uint8_t bytes[kUuidBytes];
    static_assert(sizeof(uuid) == kUuidBytes, "a UUID is 16 bytes");
    std::memcpy(bytes, &uuid, sizeof(bytes));
    path = MakeNormalDumpPath(dumpDirectory_, FormatUuidText(bytes));
    return true;
}

bool DumpWriter::WriteDump(HANDLE process, DWORD processId, DWORD threadId,
                           ClientWord exceptionPointers, ClientWord clientBlockAddress,
                           std::uint32_t dumpType, std::wstring* dumpPath,
                           const std::vector<std::uint8_t>* annotationStream)
{
    MiniDumpWriteDumpFunction writeDump = ResolveDumpFunction();
    if (writeDump == nullptr) {
        return false;
    }
    std::wstring normalPath;
    if (!MakeDumpPath(normalPath)) {
        return false;
    }
    const bool pair = WantsFullMemoryPair(dumpType);
    const std::wstring fullPath = pair ? FullDumpPathFor(normalPath) : std::wstring();

    win32::UniqueHandle normalFile = CreateDumpFile(normalPath);
    if (!normalFile) {
        return false;
    }
    win32::UniqueHandle fullFile;
    if (pair) {
        fullFile = CreateDumpFile(fullPath);
        if (!fullFile) {
            return false;
        }
    }

    MINIDUMP_EXCEPTION_INFORMATION exception{};
    MINIDUMP_EXCEPTION_INFORMATION* exceptionInfo = nullptr;
    if (exceptionPointers != 0) {
        exception.ThreadId = threadId;
        // The address lies in the client's address space, hence ClientPointers.
        exception.ExceptionPointers = reinterpret_cast<PEXCEPTION_POINTERS>(exceptionPointers);
        exception.ClientPointers = TRUE;
        exceptionInfo = &exception;
    }

    std::uint8_t reporterInfo[kReporterInfoStreamSize] = {};
    std::uint8_t clientBlock[kClientBlockSize] = {};
    MINIDUMP_USER_STREAM streams[3] = {};
    streams[0].Type = kReporterInfoStreamType;
    streams[0].BufferSize = sizeof(reporterInfo);
    streams[0].Buffer = reporterInfo;
    MINIDUMP_USER_STREAM_INFORMATION streamInfo{};
    streamInfo.UserStreamCount = 1;
    streamInfo.UserStreamArray = streams;

    if (clientBlockAddress != 0) {
        SIZE_T bytesRead = 0;
        const void* address =
            reinterpret_cast<const void*>(static_cast<std::uintptr_t>(clientBlockAddress));
        if (!::ReadProcessMemory(process, address, clientBlock, sizeof(clientBlock), &bytesRead) ||
            bytesRead != sizeof(clientBlock)) {
            return false;
        }
        streams[1].Type = kClientBlockStreamType;
        streams[1].BufferSize = sizeof(clientBlock);
        streams[1].Buffer = clientBlock;
        streamInfo.UserStreamCount = 2;
    }
    if (annotationStream != nullptr && !annotationStream->empty()) {
        MINIDUMP_USER_STREAM& stream = streams[streamInfo.UserStreamCount++];
        stream.Type = kAnnotationStreamType;
        stream.BufferSize = static_cast<ULONG>(annotationStream->size());
        stream.Buffer = const_cast<std::uint8_t*>(annotationStream->data());
    }

    BOOL normalWritten = FALSE;
    BOOL fullWritten = TRUE;
    {
        // The debug-help library is single-threaded and its state is process-wide: concurrent
        // dumps of two clients corrupt it, so the writes of every writer take turns.
        static win32::CriticalSection writeLock;
        win32::CriticalSectionLock write(writeLock);
        normalWritten = writeDump(process, processId, normalFile.get(),
                                  static_cast<MINIDUMP_TYPE>(NormalDumpTypeFor(dumpType)),
                                  exceptionInfo, &streamInfo, nullptr);
        if (pair) {
            fullWritten =
                writeDump(process, processId, fullFile.get(), static_cast<MINIDUMP_TYPE>(dumpType),
                          exceptionInfo, &streamInfo, nullptr);
        }
    }
    normalFile.reset();
    fullFile.reset();

    if (!normalWritten || !fullWritten) {
        return false;
    }
    if (dumpPath != nullptr) {
        *dumpPath = normalPath;
    }
    return true;
}
