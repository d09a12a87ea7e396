#include "scan/scan_engine.h"

#include <fmt/chrono.h>
#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <climits>
#include <ctime>
#include <optional>

#include "report/reporter.h"
#include "scan/file_start_rule.h"
#include "scan/fragment_memo.h"
#include "scan/page_header.h"
#include "scan/page_protection.h"
#include "scan/rounding.h"
#include "scan/scan_window.h"
#include "source/sector_source.h"
#include "source/text_numbers.h"

namespace mdf {
namespace {

std::string sectorError(const char* word, std::int64_t sector) {
    return fmt::format("{}1sec{}", word, sector);
}

class Scan {
  public:
    explicit Scan(ScanContext& ctx) : ctx_(ctx), window_(ctx.source, ctx.windowObserver) {}

    ScanOutcome run() {
        ctx_.reporter.clearLog(Memo::Scan);
        if (!readSettings()) return ScanOutcome::Failed;
        if (ctx_.volume.hasFileSystem && freeSpaceOnly_) {
            ctx_.reporter.logTimedLine(Memo::Scan, "reading bitmap", ctx_.now());
            // Without the file system's own allocation data nothing can be told free or in use:
            // the whole volume is scanned rather than none of it.
            if (buildFreeSpaceMap(ctx_.freeSpace, ctx_.source, ctx_.volume, ctx_.reporter,
                                  window_.buffer()) != 0) {
                ctx_.reporter.showMessage("create bitmap failed", "message");
                ctx_.reporter.say(Memo::Scan, said(Saying::AllocationDataUnreadable));
                freeSpaceOnly_ = false;
            }
        }
        if (freeSpaceOnly_) window_.setReadAheadDepth(1);
        ctx_.reporter.logTimedLine(Memo::Scan, "begin scan", ctx_.now());
        ctx_.reporter.setStatus("begin scan ");
        cursor_ = start_;
        windowStart_ = start_;
        if (!goOnFromSavedPosition()) return ScanOutcome::Failed;
        begun_ = true;
        // The time the first window takes counts: on a slow disk it is kept right after it.
        auto lastCheckpoint = std::chrono::steady_clock::now();
        // A scan that had already finished has nothing left to read. A first window that cannot
        // be read is an unreadable area like any other: its positions are tried one by one.
        if (cursor_ < end_) {
            primed_ = true;
            if (!window_.prime(windowStart_, end_)) {
                ctx_.reporter.logLine(Memo::Scan, sectorError("512error", windowStart_));
                // A source that does not even open holds nothing to go on with.
                if (!ctx_.source.opens()) {
                    keepPosition();
                    return ScanOutcome::Failed;
                }
            }
        }
        std::uint32_t positions = 0;
        for (; cursor_ < end_; cursor_ = advance(cursor_)) {
            showProgress();
            if (ctx_.reached) ctx_.reached->store(cursor_, std::memory_order_relaxed);
            if (ctx_.stopRequested.load()) {
                ctx_.reporter.setStatus("scan stopped");
                keepPosition();
                return ScanOutcome::Stopped;
            }
            if (ctx_.checkpoint && (++positions & 0x3FF) == 0 &&
                std::chrono::steady_clock::now() - lastCheckpoint >= ctx_.checkpointInterval) {
                keepPosition();
                ctx_.checkpoint();
                lastCheckpoint = std::chrono::steady_clock::now();
            }
            examine();
        }
        keepPosition();
        ctx_.index = buildFragmentIndex(ctx_.fragments);
        if (ctx_.completing) ctx_.completing();
        ctx_.reporter.logTimedLine(Memo::Scan, "finished", ctx_.now());
        ctx_.reporter.setStatus("finished");
        return ScanOutcome::Finished;
    }

    // Where the scan stands, for a later one to go on from; also after an exception. A scan
    // that read nothing (it had finished before) keeps the window it was given.
    void keepPosition() {
        if (ctx_.position && begun_)
            *ctx_.position = {std::min(cursor_, end_), skip_,
                              primed_ ? window_.start() : windowStart_, counter_};
    }

  private:
    // A saved position comes from a file: it must lie inside this scan's range, on its stride.
    // The window may have run ahead of the cursor while a run was followed, never past the
    // run's end.
    bool goOnFromSavedPosition() {
        if (!ctx_.position || ctx_.position->cursor < 0) return true;
        const ScanPosition p = *ctx_.position;
        // The end is where a finished scan stands, on the stride or not.
        const bool onStride = p.cursor == end_ || (p.cursor - start_) % stride_ == 0;
        if (p.cursor < start_ || p.cursor > end_ || !onStride || p.windowStart < start_ ||
            p.windowStart > std::max(p.cursor, p.skip) || p.windowStart > end_ || p.skip < 0 ||
            p.counter < 0 || p.counter == INT32_MAX) {
            ctx_.reporter.showMessage(
                "the saved scan position lies outside the scan's range or off its stride",
                "message");
            return false;
        }
        cursor_ = p.cursor;
        skip_ = p.skip;
        counter_ = p.counter;
        windowStart_ = p.windowStart;
        return true;
    }

    bool readSettings() {
        const ScanSettings& s = ctx_.settings;
        if (!s.sectorsPerCluster || *s.sectorsPerCluster < 1) {
            ctx_.reporter.showMessage(kScanNumbersRule, "message");
            return false;
        }
        const std::int64_t stride = *s.sectorsPerCluster;
        start_ = s.beginSector;
        end_ = s.endSector;
        // Past the source there is nothing to find, only read errors (or, for a partition inside
        // a disk, the next partition's data): the scan ends at the source's end.
        const std::int64_t sourceEnd = ctx_.source.endSector();
        if (sourceEnd > 0 && end_ > sourceEnd) {
            ctx_.reporter.say(Memo::Scan, said(Saying::EndPastSource, sourceEnd));
            end_ = sourceEnd;
        }
        if (start_ < 0) {
            ctx_.reporter.showMessage("the start sector cannot be negative", "message");
            return false;
        }
        ctx_.volume.sectorsPerCluster = static_cast<std::uint16_t>(stride);
        stride_ = stride >= 32 ? 16 : stride;
        freeSpaceOnly_ = s.freeSpaceOnly;
        recorder_.startPageLimit = s.maxStartPage.has_value();
        // A limit past every page id a header can hold lets every fragment through.
        recorder_.maxStartPage = static_cast<std::int32_t>(
            std::clamp<std::int64_t>(s.maxStartPage.value_or(0), INT32_MIN, INT32_MAX));
        return true;
    }

    // The gauge moves at most a few hundred times per scan, so the percentage is worked out only
    // when the cursor can have reached the next one.
    void showProgress() {
        if (cursor_ < nextProgressCheck_) return;
        nextProgressCheck_ = cursor_ + std::max<std::int64_t>(1, end_ / 400);
        const int percent = end_ > 0 ? static_cast<int>(roundHalfEven(cursor_ * 100, end_)) : 0;
        if (percent == lastPercent_) return;
        lastPercent_ = percent;
        ctx_.reporter.setProgress(percent);
    }

    // The next position; the end when one more stride would not fit 64 bits.
    std::int64_t advance(std::int64_t cursor) const {
        return cursor > INT64_MAX - stride_ ? end_ : cursor + stride_;
    }

    // The window-read count for a position: what is left up to the end sector, at most 12288.
    std::int64_t readCount() const {
        const std::int64_t left = end_ - cursor_;
        return left > 0 && left < kWindowSectors ? left : kWindowSectors;
    }

    void examine() {
        if (freeSpaceOnly_ &&
            ctx_.freeSpace.isClusterInUse(cursor_, ctx_.settings.fileSystemLabel, ctx_.volume))
            return;
        std::int64_t skipLimit = skip_;
        if (skip_ > 0 && 16 > stride_) skipLimit = skip_ - 16 + stride_;
        if (cursor_ < skipLimit) return;

        const std::int64_t n = readCount();
        auto h = window_.readHeaderAt(cursor_, n, true);
        if (!h) {
            ctx_.reporter.logLine(Memo::Scan, sectorError("512error", cursor_));
            return;
        }
        // A page whose later sectors lie in a cluster in use begins no run: its head is kept for
        // the search of its other pieces.
        if (!wholeInFreeSpace(cursor_)) {
            if (isDataPage(*h, ctx_.scanFileId)) noteSplitHead(cursor_, h->pageId());
            return;
        }
        if (isFileHeaderPage(*h, ctx_.scanFileId)) {
            auto pfs = window_.readHeaderAt(cursor_ + 16, n, false);
            if (!pfs) {
                ctx_.reporter.logLine(Memo::Scan, sectorError("512error", cursor_ + 16));
                return;
            }
            if (isPfsPage(*pfs, ctx_.scanFileId))
                followFileStartRun(cursor_, n);
            else
                takeLoneFileHeader(cursor_);
        } else if (isDataPage(*h, ctx_.scanFileId)) {
            followOrdinaryRun(cursor_, h->pageId(), n);
        }
    }

    void followFileStartRun(std::int64_t c, std::int64_t n) {
        std::int32_t pages = 0;
        std::int32_t expected = 0;
        std::int64_t q = c;
        while (true) {
            ++pages;
            q += 16;
            if (q >= end_) break;
            auto h = window_.readHeaderAt(q, n, true);
            if (!h) {
                ctx_.reporter.logLine(Memo::Scan, sectorError("8192errorhead", q));
                cursor_ += stride_;
                break;
            }
            ++expected;
            if (!continuesRun(ctx_.scanFileId, expected, *h, ctx_.scanFileId)) break;
            if (!wholeInFreeSpace(q)) {
                noteSplitHead(q, expected);
                break;
            }
        }
        skip_ = q;
        ctx_.pendingMemo = "wrong file head";
        if (addFragment(recorder_, ++counter_, pages, c, 0)) noteRunEnd(q - 16);
    }

    // Page 0 without page 1 behind it: a run of one page when the page proves itself.
    void takeLoneFileHeader(std::int64_t c) {
        std::array<std::uint8_t, 8192> page{};
        if (!ctx_.source.readWholeSectors(16, page.data(), c)) return;
        if (!loneFileHeaderStartsFile(page, ctx_.scanFileId)) return;
        ctx_.reporter.say(Memo::Scan, said(Saying::LoneFileHeader, c));
        skip_ = c + 16;
        ctx_.pendingMemo = "wrong file head";
        if (addFragment(recorder_, ++counter_, 1, c, 0)) notePage(c, page);
    }

    void followOrdinaryRun(std::int64_t c, std::int32_t f, std::int64_t n) {
        std::int32_t pages = 0;
        std::int32_t expected = f;
        std::int64_t q = c;
        while (true) {
            q += 16;
            expected = static_cast<std::int32_t>(static_cast<std::uint32_t>(expected) + 1);
            ++pages;
            if (q >= end_) break;
            auto h = window_.readHeaderAt(q, n, true);
            if (!h) {
                ctx_.reporter.logLine(Memo::Scan, sectorError("8192error", q));
                cursor_ += stride_;
                break;
            }
            if (!continuesRun(ctx_.scanFileId, expected, *h, ctx_.scanFileId)) break;
            if (!wholeInFreeSpace(q)) {
                noteSplitHead(q, expected);
                break;
            }
        }
        skip_ = q;
        noteRunEnd(q - 16);
        if (counter_ > 0 && !ctx_.fragments.empty() && joinsLast(c, f)) {
            const FragmentRecord last = ctx_.fragments.back();
            pages += f - last.beginPage;
            if (last.beginPage == 0) ctx_.pendingMemo = last.memo;
            ctx_.fragments.removeLast();
            if (addFragment(recorder_, counter_, pages, last.fsec, last.beginPage)) return;
            // The joined fragment could not be described: keep the last one as it was and
            // record the run on its own, rather than lose both.
            ctx_.fragments.append(last);
            pages -= f - last.beginPage;
        }
        addFragment(recorder_, ++counter_, pages, c, f);
    }

    // The page that ends a run, when the window still holds it whole.
    void noteRunEnd(std::int64_t p) {
        if (!ctx_.soundRunEnds) return;
        std::array<std::uint8_t, 8192> page{};
        if (window_.copyPage(p, page)) notePage(p, page);
    }
    void notePage(std::int64_t p, ConstPageBytes page) {
        if (!ctx_.soundRunEnds) return;
        if (pageProtection(page) != PageProtection::None && !verifyPage(page)) return;
        // In scan order, so ascending: a lookup is a binary search, and a disk of millions of
        // runs costs 8 bytes a run.
        if (ctx_.soundRunEnds->empty() || ctx_.soundRunEnds->back() < p)
            ctx_.soundRunEnds->push_back(p);
    }

    // With free space only, a page belongs to a run only when every cluster it lies in is free:
    // a cluster in use holds a live file's bytes, never the lost file's.
    bool wholeInFreeSpace(std::int64_t page) const {
        if (!freeSpaceOnly_) return true;
        for (std::int64_t sector = page; sector < page + 16; ++sector)
            if (ctx_.freeSpace.isClusterInUse(sector, ctx_.settings.fileSystemLabel, ctx_.volume))
                return false;
        return true;
    }

    void noteSplitHead(std::int64_t page, std::int32_t pageId) {
        // The end of a run and the position after it meet the same head: it is kept once.
        if (!ctx_.splitHeads ||
            (!ctx_.splitHeads->empty() && ctx_.splitHeads->back().sector == page))
            return;
        std::int32_t free = 0;
        while (free < 16 && !ctx_.freeSpace.isClusterInUse(
                                page + free, ctx_.settings.fileSystemLabel, ctx_.volume))
            ++free;
        if (free > 0) ctx_.splitHeads->push_back({page, pageId, free});
    }

    // A run joins the last fragment when the gap between them fits the page numbering.
    bool joinsLast(std::int64_t c, std::int32_t f) const {
        const FragmentRecord& last = ctx_.fragments.back();
        const std::int64_t gap = c - last.esec;
        return gap > 0 && c - last.fsec == (std::int64_t{f} - last.beginPage) * 16 &&
               gap <= kMergeDistanceLimit;
    }

    ScanContext& ctx_;
    ScanWindow window_;
    FragmentRecorder recorder_{ctx_.source, ctx_.reporter, ctx_.fragments, ctx_.pendingMemo};
    std::int64_t start_ = 0, end_ = 0, stride_ = 1, cursor_ = 0, skip_ = 0;
    std::int64_t windowStart_ = 0;  // where the first window is read
    bool primed_ = false;           // the window has been read at least once
    std::int32_t counter_ = 0;
    bool freeSpaceOnly_ = false;
    bool begun_ = false;  // the position is known: the scan has begun to read
    int lastPercent_ = -1;
    std::int64_t nextProgressCheck_ = 0;
};

}  // namespace

std::string currentDateTime() {
    std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&t, &local);
    return fmt::format("{:%Y-%m-%d %H:%M:%S}", local);
}

ScanOutcome runScanJob(ScanContext& ctx) {
    Scan scan(ctx);
    ScanOutcome outcome = ScanOutcome::Failed;
    try {
        outcome = scan.run();
    } catch (...) {
        scan.keepPosition();
        ctx.stopRequested = true;
        throw;
    }
    ctx.stopRequested = true;
    return outcome;
}

}  // namespace mdf
