#include "source/sector_source.h"

#include <algorithm>
#include <climits>

namespace mdf {

SectorSource::SectorSource(FileOpener opener) : opener_(std::move(opener)) {}

void SectorSource::select(SourceKind kind, std::string devicePath, std::int64_t sourceSectors,
                          std::int64_t firstSector) {
    std::lock_guard lock(mutex_);
    kind_ = kind;
    devicePath_ = std::move(devicePath);
    sourceSectors_ = sourceSectors;
    firstSector_ = firstSector;
    ++generation_;
}

void SectorSource::setReadLimit(std::int64_t readLimit) {
    std::lock_guard lock(mutex_);
    readLimit_ = readLimit;
    ++generation_;
}

void SectorSource::setOpener(FileOpener opener) {
    std::lock_guard lock(mutex_);
    opener_ = std::move(opener);
    handle_.reset();
    handlePath_.clear();
    ++generation_;
}

FileOpener SectorSource::opener() const {
    std::lock_guard lock(mutex_);
    return opener_;
}

void SectorSource::setSourceSectors(std::int64_t sourceSectors) {
    std::lock_guard lock(mutex_);
    sourceSectors_ = sourceSectors;
}

SourceKind SectorSource::sourceKind() const {
    std::lock_guard lock(mutex_);
    return kind_;
}

std::string SectorSource::devicePath() const {
    std::lock_guard lock(mutex_);
    return devicePath_;
}

std::int64_t SectorSource::sourceSectors() const {
    std::lock_guard lock(mutex_);
    return sourceSectors_;
}

std::int64_t SectorSource::readLimit() const {
    std::lock_guard lock(mutex_);
    return readLimit_;
}

std::int64_t SectorSource::firstSector() const {
    std::lock_guard lock(mutex_);
    return firstSector_;
}

std::int64_t SectorSource::endSector() const {
    std::lock_guard lock(mutex_);
    if (sourceSectors_ <= 0) return 0;
    return kind_ == SourceKind::Volume ? sourceSectors_ + 1 : sourceSectors_;
}

std::int64_t SectorSource::readableCount(std::int64_t sector, std::int64_t count) const {
    std::lock_guard lock(mutex_);
    return std::max<std::int64_t>(0, cutCountLocked(sector, count));
}

std::int64_t SectorSource::cutCountLocked(std::int64_t sector, std::int64_t count) const {
    if (sector < 0 || count < 0) return 0;
    if (readLimit_ <= 0) return count;
    // Sectors this far out are past any source; the sums below must not overflow.
    if (sector > readLimit_) return 0;
    if (kind_ == SourceKind::Volume) {
        if (sector + count > readLimit_ + 1) return readLimit_ - sector + 1;
    } else {
        if (sector + count > readLimit_) return readLimit_ - sector;
    }
    return count;
}

bool SectorSource::ensureOpenLocked() {
    if (handle_ && handlePath_ == devicePath_) return true;
    handle_.reset();
    handlePath_.clear();
    if (devicePath_.empty()) return false;
    handle_ = opener_(devicePath_);
    if (!handle_) return false;
    handlePath_ = devicePath_;
    return true;
}

bool SectorSource::opens() {
    std::lock_guard lock(mutex_);
    return ensureOpenLocked();
}

int SectorSource::readsAtOnce() {
    std::lock_guard lock(mutex_);
    return ensureOpenLocked() ? std::max(1, handle_->readsAtOnce()) : 1;
}

bool SectorSource::readsAhead() {
    std::lock_guard lock(mutex_);
    return ensureOpenLocked() && handle_->readsAhead();
}

bool SectorSource::readWholeSectors(std::uint32_t count, void* buffer, std::int64_t sector) {
    std::unique_lock lock(mutex_);
    if (cutCountLocked(sector, count) < count) return false;
    return readLocked(lock, count, buffer, sector);
}

bool SectorSource::readSectors(std::uint32_t count, void* buffer, std::int64_t sector) {
    std::unique_lock lock(mutex_);
    return readLocked(lock, cutCountLocked(sector, count), buffer, sector);
}

bool SectorSource::readLocked(std::unique_lock<std::mutex>& lock, std::int64_t sectors,
                              void* buffer, std::int64_t sector) {
    if (sectors <= 0 || sector < 0) return false;
    // A byte offset that does not fit 64 bits lies past every device there is.
    constexpr std::int64_t kMaxSector = INT64_MAX / kSectorSize;
    if (sector > kMaxSector - firstSector_ || sectors > kMaxSector - firstSector_ - sector)
        return false;
    if (!ensureOpenLocked()) return false;

    auto* out = static_cast<char*>(buffer);
    std::uint64_t offset = static_cast<std::uint64_t>(firstSector_ + sector) * kSectorSize;
    std::int64_t remaining = sectors * kSectorSize;
    // Each handle says what size of request suits it: a plain file 1 MiB, a direct-I/O handle
    // far more (each request costs it a trip to the device), a compressed image enough for each
    // of its decoding threads to have a part; never less than a staging chunk.
    const std::int64_t chunk = std::max<std::int64_t>(
        kStagingChunk, static_cast<std::int64_t>(handle_->preferredReadSize()));
    // The read itself goes without the lock, so that a long one (a slow disk, a read ahead) never
    // keeps another thread from the source's settings; a handle that takes one read at a time
    // gets them in turn.
    const std::shared_ptr<RandomAccessFile> handle = handle_;
    std::unique_lock oneAtATime(readMutex_, std::defer_lock);
    const bool concurrent = handle->readsAtOnce() > 1;
    lock.unlock();
    if (!concurrent) oneAtATime.lock();
    while (remaining > 0) {
        std::int64_t n = std::min<std::int64_t>(remaining, chunk);
        ++platformReads_;
        if (handle->readAt(out, static_cast<std::size_t>(n), offset) != n) return false;
        out += n;
        offset += static_cast<std::uint64_t>(n);
        remaining -= n;
    }
    return true;
}

}  // namespace mdf
