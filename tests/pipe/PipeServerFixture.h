#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CrashReporter/pipe/ClientRecord.h"
#include "CrashReporter/pipe/CrashPipeServer.h"

// What the server's callbacks reported, for tests to wait on.
class CallbackRecorder {
public:
    struct Dump {
        ClientRecord* client;
        std::wstring path;
        std::vector<ClientAnnotation> annotations;
    };

    static void OnConnected(void* context, ClientRecord* client)
    {
        auto* self = static_cast<CallbackRecorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->connected_.push_back(client);
        self->changed_.notify_all();
    }
    static void OnDumpRequested(void* context, ClientRecord* client, const std::wstring* path)
    {
        auto* self = static_cast<CallbackRecorder*>(context);
        Dump dump{client, path ? *path : std::wstring(), {}};
        if (client->annotations) {
            dump.annotations.assign(client->annotations.get(),
                                    client->annotations.get() + client->annotationSlots);
        }
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->dumps_.push_back(dump);
            hook = self->dumpHook_;
            self->changed_.notify_all();
        }
        if (hook) {
            hook();
        }
    }
    static void OnExited(void* context, ClientRecord* client)
    {
        auto* self = static_cast<CallbackRecorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->exited_.push_back(client);
        self->changed_.notify_all();
    }

    // Runs inside the dump callback, after it was recorded (e.g. to hold the client waiting).
    void SetDumpHook(std::function<void()> hook)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dumpHook_ = std::move(hook);
    }

    bool WaitConnected(std::size_t count, int ms = 10000) { return WaitFor(connected_, count, ms); }
    bool WaitDumps(std::size_t count, int ms = 30000) { return WaitFor(dumps_, count, ms); }
    bool WaitExited(std::size_t count, int ms = 10000) { return WaitFor(exited_, count, ms); }

    std::vector<ClientRecord*> Connected() { return Copy(connected_); }
    std::vector<Dump> Dumps() { return Copy(dumps_); }
    std::vector<ClientRecord*> Exited() { return Copy(exited_); }

private:
    template <typename T>
    bool WaitFor(const std::vector<T>& list, std::size_t count, int ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return list.size() >= count; });
    }
    template <typename T>
    std::vector<T> Copy(const std::vector<T>& list)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return list;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ClientRecord*> connected_;
    std::vector<Dump> dumps_;
    std::vector<ClientRecord*> exited_;
    std::function<void()> dumpHook_;
};

// A pipe name no other test uses.
inline std::wstring UniquePipeName()
{
    static LONG counter = 0;
    return L"\\\\.\\pipe\\QV_CRASH_REPORT\\test" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::InterlockedIncrement(&counter));
}

// The value the next new handle gets. Wine hands out the lowest free slot, so a leak shows as
// a higher value (its handle count query always answers 0).
inline std::uintptr_t ProbeHandleValue()
{
    HANDLE probe = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto value = reinterpret_cast<std::uintptr_t>(probe);
    ::CloseHandle(probe);
    return value;
}
