#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mdf {

// Where an output may go, seen from the source being recovered. Every file the tool writes (the
// MDF, a scan-info or content file, an export, a session file) is checked here before anything is
// read from the source, and again when it is opened.
struct OutputGuard {
    std::string sourcePath;  // the device or image being recovered; empty when none is open
    bool allowSourceDevice = false;

    // Empty when path may be written; otherwise why not, in words for the user. Refused: the
    // source itself or a link to it, any device, a folder, a folder that does not exist, and (for a
    // block-device source, unless allowed) a file on the device being recovered.
    std::string refusal(const std::string& path) const;
};

// A file written as the tool writes every output: under PATH.partial, every write checked, then
// flushed to the disk and renamed to PATH only when complete, so that a failure never leaves half
// a file under the name asked for, and never passes for success.
class OutputFile {
  public:
    OutputFile(std::string path, const OutputGuard& guard);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool ok() const { return error_.empty(); }
    // Why the file cannot be written: the guard's refusal, or the operating system's reason.
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    bool write(std::span<const std::uint8_t> bytes);
    bool writeZeros(std::uint64_t count);
    std::uint64_t bytesWritten() const { return written_; }
    // Flushes, syncs and renames to the final name. False (with error()) when any of it fails.
    bool commit();

  private:
    bool flushBuffer();
    void fail(const std::string& what);

    std::string path_;
    std::string partialPath_;
    int fd_ = -1;
    bool committed_ = false;
    std::string error_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace mdf
