#pragma once

#include <windows.h>
#include <dbghelp.h>
#include <rpc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CrashProtocol/PipeMessage.h"
#include "Win32/CriticalSection.h"
#include "Win32/UniqueModule.h"

// User stream types carried by every dump.
constexpr ULONG32 kReporterInfoStreamType = 0x47670001;  // 12 zero bytes, always present
constexpr ULONG32 kClientBlockStreamType = 0x47670002;   // the client's 776-byte block
constexpr ULONG32 kAnnotationStreamType = 0x47670003;    // the client's annotations, see
                                                         // AnnotationStream.h
constexpr std::size_t kReporterInfoStreamSize = 12;

// Writes minidumps of a client process under fresh UUID names in one directory. The debug
// help and RPC libraries are loaded at the first dump, not at start, and a failed load is
// tried again by the next call.
class DumpWriter {
public:
    explicit DumpWriter(const std::wstring& dumpDirectory);
    ~DumpWriter();

    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    // Writes the normal dump and, when dumpType has the full-memory bit, the full dump
    // beside it. True when every file asked for was written; then dumpPath (if given)
    // receives the normal dump's path. Failed files are left where they are. An annotation
    // stream, when given, goes into every dump after the reporter's and the client's block.
    bool WriteDump(HANDLE process, DWORD processId, DWORD threadId, ClientWord exceptionPointers,
                   ClientWord clientBlockAddress, std::uint32_t dumpType,
                   std::wstring* dumpPath = nullptr,
                   const std::vector<std::uint8_t>* annotationStream = nullptr);

private:
    using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                    PMINIDUMP_EXCEPTION_INFORMATION,
                                                    PMINIDUMP_USER_STREAM_INFORMATION,
                                                    PMINIDUMP_CALLBACK_INFORMATION);
    using UuidCreateFunction = RPC_STATUS(RPC_ENTRY*)(UUID*);

    MiniDumpWriteDumpFunction ResolveDumpFunction();
    bool MakeDumpPath(std::wstring& path);

    win32::UniqueModule debugHelpModule_;
    MiniDumpWriteDumpFunction dumpFunction_ = nullptr;
    win32::UniqueModule rpcModule_;
    UuidCreateFunction uuidFunction_ = nullptr;
    const std::wstring dumpDirectory_;
    win32::CriticalSection libraryLock_;  // loading of either library, UuidCreate lookup
    win32::CriticalSection resolveLock_;  // MiniDumpWriteDump lookup; taken before libraryLock_
};
