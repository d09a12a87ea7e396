// Reads that bypass the page cache: what a disk of hundreds of gigabytes needs, where the cache
// only costs a copy and evicts everything else, and a read of the next block should already be
// under way while the scan looks at the one before.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "source/platform_file.h"

namespace mdf {
namespace {

constexpr std::size_t kMinAlignment = 4096;
// The largest single read; also the size of the bounce buffer for unaligned requests.
constexpr std::size_t kMaxRead = std::size_t{8} << 20;
// Read-ahead: at least this much, at most kMaxRead, as large as the request it follows.
constexpr std::size_t kMinAhead = std::size_t{1} << 20;

struct AlignedFree {
    void operator()(std::uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t, AlignedFree>;

AlignedBuffer alignedBuffer(std::size_t size, std::size_t alignment) {
    void* p = nullptr;
    if (::posix_memalign(&p, alignment, size) != 0) return nullptr;
    return AlignedBuffer(static_cast<std::uint8_t*>(p));
}

std::uint64_t alignDown(std::uint64_t v, std::size_t a) {
    return v / a * a;
}
std::uint64_t alignUp(std::uint64_t v, std::size_t a) {
    return (v + a - 1) / a * a;
}

// Reads size bytes at an aligned offset into an aligned buffer. A read that ends short of an
// alignment boundary is the end of the file or device; nothing follows it.
std::int64_t readAligned(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset,
                         std::size_t alignment) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<std::int64_t>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
        if (done % alignment != 0) break;
    }
    return static_cast<std::int64_t>(done);
}

class DirectFile : public RandomAccessFile {
  public:
    DirectFile(int fd, std::size_t alignment, AlignedBuffer bounce, AlignedBuffer ahead)
        : fd_(fd),
          alignment_(alignment),
          bounce_(std::move(bounce)),
          ahead_(std::move(ahead)),
          worker_([this] { readAheadLoop(); }) {}

    ~DirectFile() override {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        worker_.join();
        ::close(fd_);
    }
    DirectFile(const DirectFile&) = delete;
    DirectFile& operator=(const DirectFile&) = delete;

    std::size_t preferredReadSize() const override { return kMaxRead; }

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        if (size == 0) return 0;
        const bool sequential = offset == lastEnd_;
        lastEnd_ = offset + size;
        std::int64_t n = fromReadAhead(buffer, size, offset);
        const bool readAhead = n >= 0;
        if (!readAhead) n = readDirect(static_cast<std::uint8_t*>(buffer), size, offset);
        // Two requests in a row that follow each other, or one the read-ahead guessed: the next
        // one is read while the caller works on this one.
        if ((sequential || readAhead) && n == static_cast<std::int64_t>(size))
            startReadAhead(offset + size, std::clamp(size, kMinAhead, kMaxRead));
        return n;
    }

  private:
    enum class Ahead { Idle, Queued, Done };

    // The request from the read-ahead buffer when that holds all of it (waiting for a read in
    // flight that does); -1 otherwise. Bytes the read-ahead did not get are never handed out.
    std::int64_t fromReadAhead(void* buffer, std::size_t size, std::uint64_t offset) {
        std::unique_lock lock(mutex_);
        if (aheadState_ == Ahead::Idle) return -1;
        if (offset < aheadOffset_ || offset + size > aheadOffset_ + aheadSize_) return -1;
        done_.wait(lock, [this] { return aheadState_ == Ahead::Done; });
        if (aheadGot_ < 0 || offset + size > aheadOffset_ + static_cast<std::uint64_t>(aheadGot_))
            return -1;
        std::memcpy(buffer, ahead_.get() + (offset - aheadOffset_), size);
        return static_cast<std::int64_t>(size);
    }

    void startReadAhead(std::uint64_t from, std::size_t size) {
        std::unique_lock lock(mutex_);
        // One request in flight: a read-ahead still under way is left to finish.
        if (aheadState_ == Ahead::Queued) return;
        const std::uint64_t start = alignDown(from, alignment_);
        aheadOffset_ = start;
        aheadSize_ = std::min<std::size_t>(alignUp(from + size, alignment_) - start, kMaxRead);
        aheadGot_ = -1;
        aheadState_ = Ahead::Queued;
        lock.unlock();
        wake_.notify_one();
    }

    void readAheadLoop() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return quit_ || aheadState_ == Ahead::Queued; });
            if (quit_) return;
            const std::uint64_t offset = aheadOffset_;
            const std::size_t size = aheadSize_;
            lock.unlock();
            const std::int64_t got = readAligned(fd_, ahead_.get(), size, offset, alignment_);
            lock.lock();
            aheadGot_ = got;
            aheadState_ = Ahead::Done;
            done_.notify_all();
        }
    }

    // Straight into the caller's buffer when everything is aligned, through the bounce buffer
    // otherwise; in pieces of at most kMaxRead.
    std::int64_t readDirect(std::uint8_t* out, std::size_t size, std::uint64_t offset) {
        std::size_t done = 0;
        while (done < size) {
            const std::uint64_t pos = offset + done;
            std::size_t want = size - done;
            std::int64_t got;
            std::size_t n;
            if (pos % alignment_ == 0 && want % alignment_ == 0 &&
                reinterpret_cast<std::uintptr_t>(out + done) % alignment_ == 0) {
                got = readAligned(fd_, out + done, want, pos, alignment_);
                n = got > 0 ? static_cast<std::size_t>(got) : 0;
            } else {
                want = std::min(want, kMaxRead - alignment_);
                const std::uint64_t start = alignDown(pos, alignment_);
                const std::size_t lead = static_cast<std::size_t>(pos - start);
                const std::size_t span = alignUp(lead + want, alignment_);
                got = readAligned(fd_, bounce_.get(), span, start, alignment_);
                n = got > static_cast<std::int64_t>(lead)
                        ? std::min(want, static_cast<std::size_t>(got) - lead)
                        : 0;
                std::memcpy(out + done, bounce_.get() + lead, n);
            }
            if (got < 0) return done > 0 ? static_cast<std::int64_t>(done) : -1;
            done += n;
            if (n < want) break;  // the end of the file
        }
        return static_cast<std::int64_t>(done);
    }

    int fd_;
    std::size_t alignment_;
    AlignedBuffer bounce_;
    AlignedBuffer ahead_;
    std::uint64_t lastEnd_ = ~std::uint64_t{0};

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    Ahead aheadState_ = Ahead::Idle;
    std::uint64_t aheadOffset_ = 0;
    std::size_t aheadSize_ = 0;
    std::int64_t aheadGot_ = -1;
    bool quit_ = false;
    std::thread worker_;
};

}  // namespace

std::unique_ptr<RandomAccessFile> openDirect(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd < 0) return nullptr;
    std::size_t alignment = kMinAlignment;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        int logical = 0;
        if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0)
            alignment = std::max(alignment, static_cast<std::size_t>(logical));
    }
    AlignedBuffer bounce = alignedBuffer(kMaxRead, alignment);
    AlignedBuffer ahead = alignedBuffer(kMaxRead, alignment);
    if (!bounce || !ahead) {
        ::close(fd);
        return nullptr;
    }
    // A file system that takes O_DIRECT at open may still refuse the reads themselves.
    if (readAligned(fd, bounce.get(), alignment, 0, alignment) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<DirectFile>(fd, alignment, std::move(bounce), std::move(ahead));
}

std::unique_ptr<RandomAccessFile> openDirectOrReadOnly(const std::string& path) {
    if (auto direct = openDirect(path)) return direct;
    return openBuffered(path);
}

}  // namespace mdf
