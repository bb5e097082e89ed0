#pragma once

#include <zip.h>

#include "Win32/UniqueResource.h"

namespace package_detail {

// An archive abandoned without ArchiveWriter::Close still gets its central directory, so
// what was written stays readable; it carries no comment then.
struct ZipFileTraits {
    using Type = zipFile;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { ::zipClose(h, nullptr); }
};

}  // namespace package_detail

// One open minizip archive handle.
using UniqueZipFile = win32::UniqueResource<package_detail::ZipFileTraits>;
