#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "source/platform_file.h"

namespace mdf {

inline constexpr int kSectorSize = 512;
inline constexpr int kSectorsPerPage = 16;
inline constexpr int kPageSize = 8192;
inline constexpr int kStagingChunk = 65536;

enum class SourceKind { PhysicalDisk, Volume, ImageFile };

// The one reader of raw sectors. A physical disk or an image is addressed by the sector index
// in the device or file; a volume (a partition device, or a partition inside a disk or image,
// given by its first sector) by the sector number relative to its own start.
//
// readLimit bounds every read. For a volume it is the index of the last sector; for a disk or
// an image it is one past the last sector; 0 means unbounded.
class SectorSource {
  public:
    explicit SectorSource(FileOpener opener = openReadOnly);
    SectorSource(const SectorSource&) = delete;
    SectorSource& operator=(const SectorSource&) = delete;

    // Makes another device or file current. The previous handle is closed at the next read.
    void select(SourceKind kind, std::string devicePath, std::int64_t sourceSectors,
                std::int64_t firstSector = 0);
    void setReadLimit(std::int64_t readLimit);
    // Reads from now on go through opener (a ddrescue map over the usual one, say).
    void setOpener(FileOpener opener);
    FileOpener opener() const;
    void setSourceSectors(std::int64_t sourceSectors);

    SourceKind sourceKind() const;
    std::string devicePath() const;
    std::int64_t sourceSectors() const;
    std::int64_t readLimit() const;
    std::int64_t firstSector() const;

    // Reads count sectors at sector into buffer (count x 512 bytes). True only when every
    // requested sector, after the read-limit cut, arrived. Never writes past count x 512 bytes
    // nor past the cut; a read that starts past the end fails without touching the device.
    bool readSectors(std::uint32_t count, void* buffer, std::int64_t sector);

    // Like readSectors, but a read the read limit would cut short fails instead of delivering
    // part of what was asked: what page readers need, so that no page is ever half old bytes.
    bool readWholeSectors(std::uint32_t count, void* buffer, std::int64_t sector);

    // Whether the source can be opened at all: a source that cannot holds nothing to read,
    // where one that opens may still have unreadable sectors.
    bool opens();
    // How many reads are worth making from as many threads at once (1 when the source cannot be
    // opened, or takes one read at a time).
    int readsAtOnce();
    // Whether the source reads ahead of sequential reads by itself (false when it cannot be
    // opened).
    bool readsAhead();

    // One past the last sector the source holds, in its own addressing; 0 when not known.
    std::int64_t endSector() const;
    // How many of count sectors at sector lie inside the source and the read limit (0 when none).
    std::int64_t readableCount(std::int64_t sector, std::int64_t count) const;

    // Changes whenever what a sector number reads may have changed (another source, another
    // partition start or read limit): what was read before is stale.
    std::uint64_t generation() const { return generation_.load(); }

    // Platform reads made so far; each moves at most what the handle prefers (a staging chunk at
    // least).
    std::uint64_t platformReads() const { return platformReads_.load(); }

  private:
    std::int64_t cutCountLocked(std::int64_t sector, std::int64_t count) const;
    bool readLocked(std::unique_lock<std::mutex>& lock, std::int64_t sectors, void* buffer,
                    std::int64_t sector);
    bool ensureOpenLocked();

    FileOpener opener_;
    mutable std::mutex mutex_;
    SourceKind kind_ = SourceKind::ImageFile;
    std::string devicePath_;
    std::int64_t sourceSectors_ = 0;
    std::int64_t readLimit_ = 0;
    std::int64_t firstSector_ = 0;
    // Shared with the reads in flight, which go without the lock: the handle lives on until its
    // last read is done.
    std::shared_ptr<RandomAccessFile> handle_;
    std::mutex readMutex_;  // held through a read of a handle that takes one at a time
    std::string handlePath_;
    std::atomic<std::uint64_t> platformReads_{0};
    std::atomic<std::uint64_t> generation_{0};
};

}  // namespace mdf
