#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "source/io_buffer.h"
#include "source/output_guard.h"

namespace mdf {

// A file written as the tool writes every output: its folder is opened once and checked by the
// guard, the file is created there under a new name of the tool's own choosing
// (PATH.RANDOM.partial, never an existing file and never through a link), every write checked, then
// flushed to the disk and renamed to PATH only when complete and only when PATH is no file the
// guard keeps. A failure never leaves half a file under the name asked for, never passes for
// success, and no link or swapped folder can lead a write onto the source.
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
    // Where the file is written until it is complete.
    std::string partialPath() const;

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
    std::string name_;         // the last part of path_: what the file is renamed to
    std::string partialName_;  // what it is written as, in the same folder
    OutputGuard guard_;
    int folder_ = -1;
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
