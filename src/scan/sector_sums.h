#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "scan/scan_window.h"
#include "source/output_guard.h"

namespace mdf {

// What the split-page search needs of every sector the scan reads, gathered while the scan reads
// it, so that the search need not read the source a second time: per sector the XOR of its
// 32-bit words (the terms a page's checksum is made of), the low two bits of its last byte (the
// round a torn-bit page was written in) and whether it is all zero. Five bytes a sector, in a
// file that stays sparse where the source is zero, with the ranges of sectors it holds. A file
// kept beside a saved scan begins with the scan's id and an id of its own, so that a scan gone on
// with later, in another process, takes only the very file whose ranges it recorded; any other
// has no name once opened (it goes when this object or the process does).
class SectorSums : public WindowObserver {
  public:
    using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;  // [first, end), ascending

    // What the sums keep of one sector of 512 bytes.
    struct Sum {
        std::uint32_t wordsXor = 0;  // the XOR of its 128 little-endian 32-bit words
        std::uint8_t low = 0;        // bits 0 and 1 of its last byte
        bool nonZero = false;
    };
    static Sum of(const std::uint8_t* sector);

    // What a record of a scan keeps of its kept sums.
    struct Kept {
        std::string path;
        std::string fileId;
        Ranges covered;
    };

    // Creates the file; ok() is false when it could not be. Without keptFor, a new one with no
    // name once opened (an existing name is refused); with it, the file of the scan of that id,
    // put in the place of what was there once made. Past mostBytes written (0: no bound but the
    // disk's room), or when a write fails, the sums are dropped, their room given back, and the
    // search reads the source as before. With a guard, the file is made only where it allows, in
    // the folder as it was when checked.
    explicit SectorSums(std::string path, std::int64_t mostBytes = 0, std::string keptFor = {},
                        const OutputGuard* guard = nullptr);
    // The kept file a record names, of the scan of that id, holding the ranges it recorded; opened
    // read only where it cannot be written. Nothing when it cannot be opened (or the guard
    // refuses it), is not that very file, or the ranges are not ranges.
    static std::unique_ptr<SectorSums> reopen(const Kept& kept, const std::string& scanId,
                                              std::int64_t mostBytes = 0,
                                              const OutputGuard* guard = nullptr);
    // A kept file of these sums at path, for the scan of that id: what a scan whose sums had no
    // name keeps beside it when it is saved. Nothing when it cannot be made, would pass
    // mostBytes, or these sums were dropped. The copy stays sparse where the sums are.
    // progress, when given, is told the percentage copied (a large disk's sums run to gigabytes).
    std::optional<Kept> keepCopy(const std::string& path, const std::string& scanId,
                                 std::int64_t mostBytes, const OutputGuard* guard,
                                 const std::function<void(int)>& progress = {}) const;
    // Whether the file at path is a kept file of sums (or empty), which a new scan kept under the
    // same name may replace.
    static bool isKeptFile(const std::string& path);
    ~SectorSums() override;
    SectorSums(const SectorSums&) = delete;
    SectorSums& operator=(const SectorSums&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool kept() const { return kept_; }
    const std::string& path() const { return path_; }
    const std::string& fileId() const { return fileId_; }
    // The ranges the file holds; empty once the sums were dropped.
    const Ranges& coverage() const { return covered_; }
    // What was written reaches the disk: before a record of the ranges is kept elsewhere.
    bool sync() const;
    // What the scan reads goes on to `next` as well.
    void forwardTo(WindowObserver* next) { next_ = next; }

    void sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) override;

    // Every sector from first to end - 1 was taken.
    bool covers(std::int64_t first, std::int64_t end) const;
    // The sums of count sectors from first on, where covers() says they were taken; false
    // otherwise or when the file cannot be read (then the source is read instead).
    bool read(std::int64_t first, std::int64_t count, std::uint32_t* xors, std::uint8_t* lows,
              std::uint8_t* nonZero) const;
    // The first sector at or after `sector` that may not be all zero: where the file holds data
    // again (sectors of zeros are holes in it), INT64_MAX when it holds none from there on;
    // `sector` itself where the file system cannot tell. Lets a search pass over a disk's empty
    // stretches without reading their sums.
    std::int64_t nextWritten(std::int64_t sector) const;

  private:
    SectorSums() = default;
    std::int64_t origin() const;  // where the records begin in the file
    void cover(std::int64_t first, std::int64_t end);
    void drop();

    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
    bool readOnly_ = false;  // a kept file that may not be written: read, never added to
    std::string fileId_;
    bool failed_ = false;  // dropped: nothing more is taken, and nothing is covered
    std::int64_t mostBytes_ = 0;
    std::int64_t written_ = 0;
    WindowObserver* next_ = nullptr;
    Ranges covered_;
    std::vector<std::uint8_t> records_;
};

}  // namespace mdf
