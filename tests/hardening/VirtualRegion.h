#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "CrashProtocol/PipeMessage.h"

// Pages of this process reserved (and partly committed) by VirtualAlloc, released on
// destruction unless released earlier on purpose. Move-only.
class VirtualRegion {
public:
    VirtualRegion() = default;
    // Reserves reserveBytes and commits the first commitBytes of them, read-write.
    VirtualRegion(std::size_t reserveBytes, std::size_t commitBytes)
    {
        base_ = ::VirtualAlloc(nullptr, reserveBytes, MEM_RESERVE, PAGE_NOACCESS);
        if (base_ != nullptr && commitBytes > 0 &&
            ::VirtualAlloc(base_, commitBytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
            Release();
        }
    }
    VirtualRegion(const VirtualRegion&) = delete;
    VirtualRegion& operator=(const VirtualRegion&) = delete;
    VirtualRegion(VirtualRegion&& other) noexcept : base_(other.base_) { other.base_ = nullptr; }
    VirtualRegion& operator=(VirtualRegion&& other) noexcept
    {
        if (this != &other) {
            Release();
            base_ = other.base_;
            other.base_ = nullptr;
        }
        return *this;
    }
    ~VirtualRegion() { Release(); }

    explicit operator bool() const { return base_ != nullptr; }
    std::uint8_t* get() const { return static_cast<std::uint8_t*>(base_); }
    // The region's address as the value a registration carries.
    ClientWord Address() const { return reinterpret_cast<ClientWord>(base_); }

    // Gives the pages back to the system: from here on the address is unmapped.
    void Release()
    {
        if (base_ != nullptr) {
            ::VirtualFree(base_, 0, MEM_RELEASE);
            base_ = nullptr;
        }
    }

private:
    void* base_ = nullptr;
};
