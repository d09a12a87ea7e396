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
#include <vector>

#include "source/io_buffer.h"
#include "source/platform_file.h"

namespace mdf {
namespace {

constexpr std::size_t kMinAlignment = 4096;
// The largest single read; also the size of the bounce buffer for unaligned requests.
constexpr std::size_t kMaxRead = std::size_t{8} << 20;
// Read-ahead buffers: one being read, the others read and waiting to be handed out, so that a
// caller held up for a moment does not leave the device idle.
constexpr std::size_t kSlots = 3;
// Requests smaller than this never start, end or move a read-ahead stream.
constexpr std::size_t kStreamMinimum = std::size_t{64} << 10;
// Aligned requests this large go straight into the caller's buffer: the caller reads ahead by
// itself (the scan's windows), and a copy out of the read-ahead cost more than the read.
constexpr std::size_t kStraightMinimum = std::size_t{4} << 20;

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
    // Queued: the worker reads it; Ready: read, not yet handed out to its end; Reading: being
    // copied out; Free: read and handed out, the worker may reuse it.
    enum class State { Idle, Queued, Ready, Reading, Free };
    struct Slot {
        IoBuffer buffer;
        std::uint64_t offset = 0;
        std::size_t size = 0;
        std::int64_t got = -1;
        State state = State::Idle;
    };

  public:
    DirectFile(int fd, std::size_t alignment, IoBuffer bounce, std::vector<IoBuffer> ahead)
        : fd_(fd), alignment_(alignment) {
        spareBounces_.push_back(std::move(bounce));
        for (std::size_t i = 0; i < kSlots; ++i)
            slots_[i].buffer = std::move(ahead[i]);
        worker_ = std::thread([this] { readAheadLoop(); });
    }

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
    int readsAtOnce() const override { return kReadsAtOnce; }
    bool readsAhead() const override { return true; }

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        if (size == 0) return 0;
        if (size >= kStraightMinimum && offset % alignment_ == 0 && size % alignment_ == 0 &&
            reinterpret_cast<std::uintptr_t>(buffer) % alignment_ == 0) {
            {
                // The caller reads ahead by itself: a stream begun for smaller reads (a window
                // read again in pieces after it failed) would read the same bytes again.
                std::lock_guard lock(mutex_);
                streaming_ = false;
            }
            return readAligned(fd_, static_cast<std::uint8_t*>(buffer), size, offset, alignment_);
        }
        // The read-ahead's buffers serve one caller at a time: a slot being copied out must not
        // be freed, refilled or moved by another caller's request meanwhile. Only reads of the
        // device itself go side by side.
        std::unique_lock oneCaller(streamMutex_);
        std::unique_lock lock(mutex_);
        // A small read beside the stream (a single sector the scan looks at out of turn) is
        // read on its own and leaves the stream as it is.
        const bool small = size < kStreamMinimum;
        if (!small) skipAhead(offset);
        if (fromReadAhead(lock, static_cast<std::uint8_t*>(buffer), size, offset))
            return static_cast<std::int64_t>(size);
        if (!small) {
            // A jump ends the stream; two requests in a row, the second at or a little after
            // the end of the first, start one.
            const bool sequential =
                lastEnd_ != kNoEnd && offset >= lastEnd_ && offset - lastEnd_ <= 2 * kMaxRead;
            lastEnd_ = offset + size;
            streaming_ = sequential;
            if (sequential) startStream(offset + size);
        }
        lock.unlock();
        oneCaller.unlock();
        return readDirect(static_cast<std::uint8_t*>(buffer), size, offset);
    }

  private:
    // A request a little ahead of the stream (the scan passed over some sectors) moves the
    // stream there: what lies before it is not read, and slots holding only what lies before it
    // are free again.
    void skipAhead(std::uint64_t offset) {
        if (!streaming_) return;
        for (Slot& slot : slots_)
            if (slot.state == State::Ready && slot.offset + slot.size <= offset)
                slot.state = State::Free;
        if (offset >= next_ && offset <= next_ + 2 * kMaxRead && !slotHolding(offset))
            next_ = alignDown(offset, alignment_);
    }

    // The slot whose range holds pos, or nullptr.
    Slot* slotHolding(std::uint64_t pos) {
        for (Slot& slot : slots_)
            if (slot.state != State::Idle && pos >= slot.offset && pos < slot.offset + slot.size)
                return &slot;
        return nullptr;
    }

    // The request from the read-ahead slots, one or two of them, when they hold all of it.
    // Bytes the read-ahead did not get are never handed out: the end of the file, or an error,
    // is left to a read of its own to tell.
    bool fromReadAhead(std::unique_lock<std::mutex>& lock, std::uint8_t* out, std::size_t size,
                       std::uint64_t offset) {
        Slot* parts[2] = {nullptr, nullptr};
        std::uint64_t pos = offset;
        for (Slot*& part : parts) {
            if (pos >= offset + size) break;
            part = slotHolding(pos);
            // The stream got here before the worker did: the next range goes out now.
            if (!part && streaming_ && pos == next_ && (part = freeSlot())) {
                queue(*part, next_);
                wake_.notify_one();
            }
            if (!part) return false;
            done_.wait(lock, [part] { return part->state != State::Queued; });
            if (part->got < 0 || pos < part->offset) return false;
            pos = part->offset + static_cast<std::uint64_t>(part->got);
            if (static_cast<std::size_t>(part->got) < part->size && pos < offset + size)
                return false;  // the end of the file lies inside the request
        }
        if (pos < offset + size) return false;
        for (Slot* part : parts)
            if (part) part->state = State::Reading;  // kept from the worker while copied
        lock.unlock();
        std::size_t done = 0;
        for (Slot* part : parts) {
            if (!part) break;
            const std::uint64_t at = offset + done;
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(offset + size, part->offset + part->size) - at);
            std::memcpy(out + done, part->buffer.get() + (at - part->offset), n);
            done += n;
        }
        lock.lock();
        for (Slot* part : parts) {
            if (!part) break;
            // A slot handed out to its end is free for the next range; one handed out in part
            // may yet be asked for the rest.
            part->state = offset + size >= part->offset + part->size ? State::Free : State::Ready;
        }
        lastEnd_ = offset + size;
        if (!streaming_) {
            // The read-ahead guessed right: go on after the last range it holds.
            streaming_ = true;
            next_ = 0;
            for (const Slot& slot : slots_)
                next_ = std::max<std::uint64_t>(next_, slot.offset + slot.size);
        }
        lock.unlock();
        wake_.notify_one();
        return true;
    }

  private:
    // Read-ahead goes in requests of the largest size, whatever the caller's requests are.
    void queue(Slot& slot, std::uint64_t from) {
        slot.offset = alignDown(from, alignment_);
        slot.size = kMaxRead;
        slot.got = -1;
        slot.state = State::Queued;
        next_ = slot.offset + slot.size;
    }

    // The first range of a stream; the worker goes on from there by itself, one request in
    // flight, as long as the stream lasts and a slot is free.
    void startStream(std::uint64_t from) {
        for (const Slot& slot : slots_)
            if (slot.state == State::Queued || slot.state == State::Reading) return;
        Slot* slot = freeSlot();
        queue(slot ? *slot : slots_[0], from);
        wake_.notify_one();
    }

    Slot* freeSlot() {
        for (Slot& slot : slots_)
            if (slot.state == State::Free || slot.state == State::Idle) return &slot;
        return nullptr;
    }

    Slot* nextToRead() {
        for (Slot& slot : slots_)
            if (slot.state == State::Queued) return &slot;
        if (!streaming_) return nullptr;
        Slot* slot = freeSlot();
        if (slot) queue(*slot, next_);
        return slot;
    }

    void readAheadLoop() {
        std::unique_lock lock(mutex_);
        while (true) {
            Slot* next = nullptr;
            wake_.wait(lock, [&] { return quit_ || (next = nextToRead()) != nullptr; });
            if (quit_) return;
            const std::uint64_t offset = next->offset;
            const std::size_t size = next->size;
            lock.unlock();
            const std::int64_t got = readAligned(fd_, next->buffer.get(), size, offset, alignment_);
            lock.lock();
            next->got = got;
            next->state = State::Ready;
            // Past the end of the file, or after an error, there is nothing more to read ahead.
            if (got != static_cast<std::int64_t>(size)) streaming_ = false;
            done_.notify_all();
        }
    }

    // Straight into the caller's buffer when everything is aligned, through the bounce buffer
    // otherwise, in pieces that fit it.
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
                IoBuffer bounce = takeBounce();
                got = readAligned(fd_, bounce.get(), span, start, alignment_);
                n = got > static_cast<std::int64_t>(lead)
                        ? std::min(want, static_cast<std::size_t>(got) - lead)
                        : 0;
                std::memcpy(out + done, bounce.get() + lead, n);
                giveBack(std::move(bounce));
            }
            if (got < 0) return done > 0 ? static_cast<std::int64_t>(done) : -1;
            done += n;
            if (n < want) break;  // the end of the file
        }
        return static_cast<std::int64_t>(done);
    }

    int fd_;
    std::size_t alignment_;
    // Bounce buffers for readers on several threads: each unaligned read takes one of its own,
    // made when none is spare, up to one per read in flight (the first made with the file).
    IoBuffer takeBounce() {
        std::unique_lock lock(bounceMutex_);
        while (true) {
            if (!spareBounces_.empty()) {
                IoBuffer b = std::move(spareBounces_.back());
                spareBounces_.pop_back();
                return b;
            }
            if (bouncesMade_ < kReadsAtOnce) {
                if (IoBuffer made = allocateIoBuffer(kMaxRead, alignment_)) {
                    ++bouncesMade_;
                    return made;
                }
                bouncesMade_ = kReadsAtOnce;  // no room for more: share those there are
            }
            bounceFree_.wait(lock, [this] { return !spareBounces_.empty(); });
        }
    }
    void giveBack(IoBuffer bounce) {
        {
            std::lock_guard lock(bounceMutex_);
            spareBounces_.push_back(std::move(bounce));
        }
        bounceFree_.notify_one();
    }

    static constexpr int kReadsAtOnce = 4;
    std::mutex bounceMutex_;
    std::condition_variable bounceFree_;
    std::vector<IoBuffer> spareBounces_;
    int bouncesMade_ = 1;
    static constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};
    std::uint64_t lastEnd_ = kNoEnd;

    std::mutex streamMutex_;  // taken before mutex_, never while a device read of its own runs
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    Slot slots_[kSlots];
    bool streaming_ = false;
    std::uint64_t next_ = 0;
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
    IoBuffer bounce = allocateIoBuffer(kMaxRead, alignment);
    std::vector<IoBuffer> ahead;
    for (std::size_t i = 0; i < kSlots; ++i)
        ahead.push_back(allocateIoBuffer(kMaxRead, alignment));
    if (!bounce || std::any_of(ahead.begin(), ahead.end(), [](const auto& b) { return !b; })) {
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
