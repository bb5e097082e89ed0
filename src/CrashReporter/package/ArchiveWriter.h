#pragma once

#include <string>

#include "CrashReporter/package/ParallelDeflater.h"
#include "CrashReporter/package/UniqueZipFile.h"

// The text closing every report archive.
constexpr char kArchiveComment[] = "Created by RIZurarUzedudor (crash-reports@example.invalid)";

// One ZIP archive being written: opened once, filled one whole file at a time, closed once.
// Entries are deflated on every core (ParallelDeflater) and stored through minizip's raw
// mode; the compression threads live until Close.
class ArchiveWriter {
public:
    ArchiveWriter() = default;
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Creates (or truncates) the archive named after nameSource's base name inside
    // dumpDirectory, which is taken below the current directory unless it is absolute.
    // archivePath receives the composed path even when creating the file fails. False
    // without doing anything while an archive is open.
    bool Open(const std::wstring& dumpDirectory, const std::wstring& nameSource,
              std::wstring& archivePath);

    // Adds the file as one deflated entry under its base name. False when no archive is
    // open, the file cannot be read whole, or its entry cannot be written.
    bool AddFile(const std::wstring& path);

    // Writes the central directory and the comment, and releases the archive. False when no
    // archive was open or the archive could not be completed.
    bool Close();

    bool IsOpen() const { return static_cast<bool>(archive_); }

private:
    UniqueZipFile archive_;
    ParallelDeflater deflater_{ParallelDeflater::MachineWorkerCount()};
};
