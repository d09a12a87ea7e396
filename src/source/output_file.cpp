#include "source/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <random>

namespace mdf {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kBufferBytes = 1 << 20;
constexpr std::size_t kLargeBufferBytes = 8 << 20;
constexpr std::size_t kDirectAlignment = 4096;
// Zeros up to this long are written; longer runs are left as holes.
constexpr std::uint64_t kHoleBytes = 1 << 20;

std::string reason(int error) {
    return std::strerror(error);
}

// A name in the folder that no file has: drawn at random, and created with O_EXCL so that a file
// or link that appears under it first is never opened.
std::string partialNameFor(const std::string& name) {
    static thread_local std::mt19937_64 draw{std::random_device{}()};
    char tag[17];
    std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(draw()));
    // Within the longest name a folder takes, whatever the name asked for.
    return name.substr(0, 200) + "." + tag + ".partial";
}

}  // namespace

OutputFile::OutputFile(std::string path, const OutputGuard& guard, Kind kind)
    : path_(std::move(path)), guard_(guard), large_(kind == Kind::Large) {
    // The folder is resolved once, here; everything after goes through this handle.
    folder_ = guard_.openFolderOf(path_, name_, error_);
    if (folder_ < 0) return;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        partialName_ = partialNameFor(name_);
        if (large_) {
            // File systems without direct I/O (tmpfs, some network ones) refuse the flag: write
            // through the page cache there.
            fd_ = ::openat(folder_, partialName_.c_str(), flags | O_DIRECT, 0644);
            direct_ = fd_ >= 0;
            if (fd_ < 0 && errno == EEXIST) continue;
        }
        if (fd_ < 0) fd_ = ::openat(folder_, partialName_.c_str(), flags, 0644);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        error_ = "cannot create " + partialPath() + ": " + reason(errno);
        partialName_.clear();
        return;
    }
    if (large_) {
        filling_ = allocateIoBuffer(kLargeBufferBytes, kDirectAlignment);
        writing_ = allocateIoBuffer(kLargeBufferBytes, kDirectAlignment);
        if (!filling_ || !writing_) throw std::bad_alloc();
    } else {
        buffer_.reserve(kBufferBytes);
    }
}

std::string OutputFile::partialPath() const {
    return (fs::path(path_).parent_path() / partialName_).string();
}

OutputFile::~OutputFile() {
    drain();
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !partialName_.empty()) ::unlinkat(folder_, partialName_.c_str(), 0);
    if (folder_ >= 0) ::close(folder_);
}

void OutputFile::fail(const std::string& what) {
    failWith(what, errno);
}

void OutputFile::failWith(const std::string& what, int error) {
    if (error_.empty()) error_ = what + " " + partialPath() + ": " + reason(error);
}

// 0 when all of it was written, else the errno. A file system that refuses a direct write
// (EINVAL: alignment it does not take) gets it, and every later one, through the page cache.
bool OutputFile::writeAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    const bool aligned = size % kDirectAlignment == 0 && offset % kDirectAlignment == 0;
    if (direct_ && !aligned) {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_DIRECT);
        direct_ = false;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINVAL && direct_) {
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_DIRECT);
            direct_ = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

static void observeZeros(const OutputFile::Observer& observer, std::uint64_t count) {
    static const std::vector<std::uint8_t> zeros(kBufferBytes, 0);
    while (count > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, zeros.size()));
        observer(std::span(zeros.data(), n));
        count -= n;
    }
}

void OutputFile::drain() {
    waitForPendingWrite();
}

bool OutputFile::waitForPendingWrite() {
    if (observed_.valid()) observed_.get();
    if (!pending_.valid()) return ok();
    const int error = pending_.get();
    if (error != 0) failWith("cannot write", error);
    return ok();
}

// Hands the filled buffer to a write of its own and goes on filling the other one.
bool OutputFile::flushLarge() {
    if (!waitForPendingWrite()) return false;
    if (filled_ == 0) return true;
    std::swap(filling_, writing_);
    const std::uint8_t* data = writing_.get();
    const std::size_t size = filled_;
    const std::uint64_t offset = fillingOffset_;
    pending_ = std::async(std::launch::async, [this, data, size, offset] {
        return writeAt(data, size, offset) ? 0 : errno;
    });
    if (observer_)
        observed_ = std::async(std::launch::async, [this, data, size] { observer_({data, size}); });
    fillingOffset_ += size;
    filled_ = 0;
    return true;
}

bool OutputFile::flushBuffer() {
    if (large_) return flushLarge() && waitForPendingWrite();
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write");
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            fail("cannot write");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return true;
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
    if (!ok()) return false;
    while (large_ && !bytes.empty()) {
        const std::size_t n = std::min(kLargeBufferBytes - filled_, bytes.size());
        std::memcpy(filling_.get() + filled_, bytes.data(), n);
        filled_ += n;
        written_ += n;
        bytes = bytes.subspan(n);
        if (filled_ == kLargeBufferBytes && !flushLarge()) return false;
    }
    if (!large_ && observer_) observer_(bytes);
    while (!bytes.empty()) {
        const std::size_t room = kBufferBytes - buffer_.size();
        const std::size_t n = std::min(room, bytes.size());
        buffer_.insert(buffer_.end(), bytes.begin(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(n));
        bytes = bytes.subspan(n);
        written_ += n;
        if (buffer_.size() == kBufferBytes && !flushBuffer()) return false;
    }
    return true;
}

bool OutputFile::writeZeros(std::uint64_t count) {
    if (!ok()) return false;
    if (large_ && count >= kHoleBytes) {
        // What is filled goes to its write; the file's next bytes begin past the hole, at an
        // offset a direct write still takes.
        const std::uint64_t hole = count - count % kDirectAlignment;
        if (!flushLarge()) return false;
        if (observer_)
            observed_ = std::async(std::launch::async,
                                   [this, hole, before = std::move(observed_)]() mutable {
                                       if (before.valid()) before.get();
                                       observeZeros(observer_, hole);
                                   });
        fillingOffset_ += hole;
        written_ += hole;
        count -= hole;
    }
    static const std::vector<std::uint8_t> zeros(kBufferBytes, 0);
    while (count > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, zeros.size()));
        if (!write(std::span(zeros.data(), n))) return false;
        count -= n;
    }
    return ok();
}

bool OutputFile::commit() {
    if (!ok()) {
        drain();
        return false;
    }
    if (!flushBuffer()) return false;
    // A file that ends in a hole gets its length here.
    if (large_ && ::ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
        fail("cannot set the length of");
        return false;
    }
    if (::fsync(fd_) != 0) {
        fail("cannot flush");
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        fail("cannot close");
        return false;
    }
    // The name may have come to be the source, one of its files or an input since the run
    // began (a link made meanwhile): then the file stays unnamed and the run says why.
    if (struct stat existing{}; ::fstatat(folder_, name_.c_str(), &existing, 0) == 0) {
        if (std::string why = guard_.replaceRefusal(existing, path_); !why.empty()) {
            // What was written is worth keeping: it stays under its own name, and is named.
            committed_ = true;
            error_ = why + "; what was written is kept as " + partialPath();
            return false;
        }
    }
    if (::renameat(folder_, partialName_.c_str(), folder_, name_.c_str()) != 0) {
        fail("cannot rename");
        return false;
    }
    committed_ = true;
    // The rename itself must reach the disk too.
    ::fsync(folder_);
    return true;
}

}  // namespace mdf
