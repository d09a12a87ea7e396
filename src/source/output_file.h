#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "source/io_buffer.h"

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
    // Large: a file of gigabytes written front to back (the MDF). Its bytes go to the disk
    // straight from aligned buffers (O_DIRECT where the file system takes it), one buffer being
    // written while the next fills, and long runs of zeros become holes. Writing gigabytes
    // through the page cache and syncing them at the end took several times as long.
    enum class Kind { Small, Large };
    OutputFile(std::string path, const OutputGuard& guard, Kind kind = Kind::Small);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool ok() const { return error_.empty(); }
    // Why the file cannot be written: the guard's refusal, or the operating system's reason.
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // Every byte of the file, holes included, is handed to this in file order; for a Large file
    // on a thread of its own while the next buffer fills, so that hashing the output costs no
    // pass and no time of the caller's. Set before the first write.
    using Observer = std::function<void(std::span<const std::uint8_t>)>;
    void observeBytes(Observer observer) { observer_ = std::move(observer); }
    // Waits until no write and no observer call is under way (an observer's owner calls it
    // before it goes away).
    void drain();

    bool write(std::span<const std::uint8_t> bytes);
    bool writeZeros(std::uint64_t count);
    std::uint64_t bytesWritten() const { return written_; }
    // Flushes, syncs and renames to the final name. False (with error()) when any of it fails.
    bool commit();

  private:
    bool flushBuffer();
    bool flushLarge();
    bool waitForPendingWrite();
    bool writeAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset);
    void fail(const std::string& what);
    void failWith(const std::string& what, int error);

    std::string path_;
    std::string partialPath_;
    int fd_ = -1;
    bool committed_ = false;
    std::string error_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t written_ = 0;

    // Kind::Large only.
    bool large_ = false;
    bool direct_ = false;
    IoBuffer filling_, writing_;
    std::size_t filled_ = 0;
    std::uint64_t fillingOffset_ = 0;  // where the filling buffer's first byte goes
    std::future<int> pending_;         // the writing buffer's write: 0 or an errno
    std::future<void> observed_;       // the observer's turn over what went before
    Observer observer_;
};

}  // namespace mdf
