#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace mdf {

// The operating system's view of a device or file opened for reading. The recovery never
// writes to what it reads, so there is no write operation here at all.
class RandomAccessFile {
  public:
    virtual ~RandomAccessFile() = default;
    // Reads up to size bytes at offset; returns the count read, or -1 on an I/O error.
    virtual std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) = 0;
    // The largest request worth passing down in one call; larger ones are split.
    virtual std::size_t preferredReadSize() const { return 65536; }
    // How many reads are worth having in flight together, from as many threads: more than one
    // only where readAt may be called concurrently and the device serves requests side by side
    // (a disk read directly, whose every request otherwise waits out the last one's trip).
    virtual int readsAtOnce() const { return 1; }
    // Whether the handle reads ahead of sequential requests by itself.
    virtual bool readsAhead() const { return false; }
};

using FileOpener = std::function<std::unique_ptr<RandomAccessFile>(const std::string& path)>;

// Opens a block device or an image file with O_RDONLY; nullptr when it cannot be opened. A
// forensic or virtual-disk image is opened through its format's reader (image_format.h), so
// what is read is the disk it holds.
std::unique_ptr<RandomAccessFile> openReadOnly(const std::string& path);

// Size in bytes of a regular file or block device, or of the disk an image holds; -1 when it
// cannot be opened.

// Opens a block device or an image file with O_DIRECT: reads bypass the page cache, go to the
// device in large aligned requests (unaligned ones through a bounce buffer), and a read-ahead
// thread keeps the next sequential request in flight. nullptr when the file or its file system
// refuses direct reads.
std::unique_ptr<RandomAccessFile> openDirect(const std::string& path);
// openDirect, or plain reads when direct reads are refused.
std::unique_ptr<RandomAccessFile> openDirectOrReadOnly(const std::string& path);
// Plain reads through the page cache, whatever the path is.
std::unique_ptr<RandomAccessFile> openBuffered(const std::string& path);

std::int64_t byteSizeOf(const std::string& path);

// The same for the bytes of the file or device itself, whatever they hold.
std::unique_ptr<RandomAccessFile> openPlainReadOnly(const std::string& path);
std::int64_t plainByteSizeOf(const std::string& path);

}  // namespace mdf
