#include "assembly/mdf_writer.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "assembly/boundary_repair.h"
#include "assembly/sha256.h"
#include "report/reporter.h"
#include "scan/rounding.h"
#include "source/output_file.h"

namespace mdf {
namespace {

using Page = std::array<std::uint8_t, 8192>;

constexpr std::int32_t kPagesPerRead = 128;

// Appends pages to the output, hashing and verifying each one as it goes, so that nothing is read
// back afterwards.
class PageSink {
  public:
    PageSink(AssemblyContext& ctx, OutputFile& out, AssemblyOutcome& outcome)
        : ctx_(ctx), out_(out), outcome_(outcome) {
        out_.observeBytes([this](std::span<const std::uint8_t> bytes) { sha_.update(bytes); });
    }
    ~PageSink() { out_.drain(); }
    PageSink(const PageSink&) = delete;
    PageSink& operator=(const PageSink&) = delete;

    void put(std::int32_t pageId, std::span<const std::uint8_t, 8192> page, PageSource source) {
        auto restored = ctx_.results.restoredPages.find(pageId);
        if (auto newer = ctx_.results.newerCopies.find(pageId);
            newer != ctx_.results.newerCopies.end()) {
            page = newer->second;
            source = PageSource::Run;
        } else if (restored != ctx_.results.restoredPages.end()) {
            outcome_.restoredPages.push_back(pageId);
            page = restored->second;
            source = ctx_.results.followedFileRuns.count(pageId) ? PageSource::FileRuns
                                                                 : PageSource::Pieced;
        }
        classify(pageId, page);
        verifier_.page(pageId, page, source);
        out_.write(page);
        ++outcome_.pages;
        showProgress();
    }

    void zeros(std::int32_t first, std::int64_t count) {
        // A page pieced together from other clusters fills its place in the gap.
        static const Page zero{};
        const std::int64_t end = std::int64_t{first} + count;
        std::int64_t runStart = first;
        const auto& restored = ctx_.results.restoredPages;
        for (auto it = restored.lower_bound(first); it != restored.end() && it->first < end; ++it) {
            writeZeroRun(runStart, it->first);
            put(it->first, zero, PageSource::Gap);
            runStart = std::int64_t{it->first} + 1;
        }
        writeZeroRun(runStart, end);
    }

    void setTotal(std::int64_t pages) { total_ = std::max<std::int64_t>(pages, 1); }
    // Only once the output is committed: until then the hash may still be taking bytes.
    std::string finishHash() { return sha_.finishHex(); }
    // The written file judged as a database, from the pages as they went out.
    Verdict verdict() {
        verifier_.pagesCut(outcome_.cutPages);
        verifier_.newestCopies(ctx_.results.newestCopies);
        std::vector<std::int32_t> newer;
        for (const auto& [pageId, bytes] : ctx_.results.newerCopies)
            newer.push_back(pageId);
        verifier_.newerCopiesTaken(std::move(newer));
        std::vector<std::pair<std::int32_t, std::int32_t>> guessed;
        for (const FragmentRow& row : ctx_.combination.rows)
            if (ctx_.results.guessedFragments.count(row.recordIndex))
                guessed.emplace_back(row.startPage, row.endPage);
        verifier_.takenWithoutEvidence(std::move(guessed));
        return verifier_.finish();
    }

  private:
    void writeZeroRun(std::int64_t start, std::int64_t end) {
        if (start < 0 || end <= start) return;
        out_.writeZeros(static_cast<std::uint64_t>(end - start) * 8192);
        verifier_.zeros(static_cast<std::int32_t>(start), end - start, PageSource::Gap);
        outcome_.pages += end - start;
        outcome_.zeroFilled.push_back({static_cast<std::int32_t>(start), end - start});
        outcome_.zeroFilledPages += end - start;
        showProgress();
    }

    void classify(std::int32_t pageId, ConstPageBytes page) {
        if (std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; })) {
            ++outcome_.emptyPages;
            return;
        }
        if (pageProtection(page) == PageProtection::None) {
            ++outcome_.unprotectedPages;
        } else if (verifyPage(page)) {
            ++outcome_.verifiedPages;
        } else {
            outcome_.failedPages.push_back(pageId);
        }
    }

    void showProgress() {
        const int percent = static_cast<int>(
            std::min<std::int64_t>(100, roundHalfEven(outcome_.pages * 100, total_)));
        if (percent == lastPercent_) return;
        lastPercent_ = percent;
        ctx_.reporter.setProgress(percent);
        ctx_.reporter.processEvents();
    }

    AssemblyContext& ctx_;
    OutputFile& out_;
    AssemblyOutcome& outcome_;
    Sha256 sha_;
    FileVerifier verifier_;
    std::int64_t total_ = 1;
    int lastPercent_ = -1;
};

// The pages of one row, or a piece of a long one, as read ahead of the writer.
struct RowPiece {
    std::int32_t first = 0;  // index in the row of the first page
    std::int32_t count = 0;
    // With the first piece of a row that may repair the page before it, the 15 sectors before
    // the row; then the pages.
    std::vector<std::uint8_t> bytes;
    std::vector<std::int32_t> unreadable;  // page ids read as zeros
    bool wantsLeadIn = false;
    bool leadInRead = false;

    std::span<const std::uint8_t, kLeadInBytes> leadIn() const {
        return std::span<const std::uint8_t, kLeadInBytes>(bytes.data(), kLeadInBytes);
    }
    std::uint8_t* page(std::int32_t t) {
        return bytes.data() + kLeadInBytes + std::size_t{8192} * static_cast<std::size_t>(t);
    }
};

// Whether the row's start may complete the previous row's last page: clusters smaller than a
// page, and the row going on where the previous one ended.
bool repairsPrevious(const AssemblyContext& ctx, const FragmentRow* previous,
                     const FragmentRow& row) {
    return previous && ctx.sectorsPerCluster < 16 && previous->endPage == row.startPage;
}

// Reads the rows' pages ahead of the writer, so that the disk reads the next fragments while the
// last one is verified, hashed and written: on a disk read with O_DIRECT the writer otherwise
// waited for every read in turn. A source that serves requests side by side is read by as many
// threads, each taking the next piece; the pieces go to the writer in row order all the same.
// Only these threads read pages while the writer runs; what they could not read is handed on
// with the piece and told there.
class RowReader {
  public:
    static constexpr std::size_t kPiecesAhead = 16;

    RowReader(AssemblyContext& ctx, const std::vector<FragmentRow>& rows) : ctx_(ctx) {
        const FragmentRow* previous = nullptr;
        for (const FragmentRow& row : rows) {
            if (row.pages() <= 0) continue;
            for (std::int32_t first = 0; first < row.pages(); first += kPagesPerRead)
                jobs_.push_back({&row, first, first == 0 && repairsPrevious(ctx_, previous, row)});
            previous = &row;
        }
        const int threads = std::clamp(ctx_.pages.readsAtOnce(), 1, 8);
        for (int i = 0; i < threads; ++i) {
            try {
                threads_.emplace_back([this] { readAll(); });
            } catch (const std::system_error&) {
                // No more threads to be had: those there are read everything.
                if (!threads_.empty()) break;
                throw;
            }
        }
    }
    ~RowReader() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    // The next piece, in row order; nothing after the last one.
    std::optional<RowPiece> next() {
        std::unique_lock lock(mutex_);
        // Every piece before the one whose read failed is handed on first.
        changed_.wait(lock, [this] {
            return handed_ == jobs_.size() || ready_.count(handed_) > 0 ||
                   (failure_ && handed_ >= failedJob_);
        });
        const auto found = ready_.find(handed_);
        if (found == ready_.end()) {
            if (failure_) std::rethrow_exception(failure_);
            return std::nullopt;
        }
        RowPiece piece = std::move(found->second);
        ready_.erase(found);
        ++handed_;
        changed_.notify_all();
        return piece;
    }
    // A piece handed back: its buffer serves a later read.
    void recycle(RowPiece piece) {
        std::lock_guard lock(mutex_);
        spare_.push_back(std::move(piece.bytes));
    }

  private:
    struct Job {
        const FragmentRow* row;
        std::int32_t first;
        bool wantsLeadIn;
    };

    void readAll() {
        try {
            while (true) {
                std::size_t job = 0;
                std::vector<std::uint8_t> bytes;
                {
                    std::unique_lock lock(mutex_);
                    changed_.wait(lock, [this] {
                        return stop_ || failure_ || taken_ == jobs_.size() ||
                               taken_ < handed_ + kPiecesAhead;
                    });
                    if (stop_ || failure_ || taken_ == jobs_.size()) return;
                    job = taken_++;
                    if (!spare_.empty()) {
                        bytes = std::move(spare_.back());
                        spare_.pop_back();
                    }
                }
                RowPiece piece;
                try {
                    piece = read(jobs_[job], std::move(bytes));
                } catch (...) {
                    std::lock_guard lock(mutex_);
                    if (!failure_ || job < failedJob_) {
                        failure_ = std::current_exception();
                        failedJob_ = job;
                    }
                    changed_.notify_all();
                    return;
                }
                std::lock_guard lock(mutex_);
                ready_.emplace(job, std::move(piece));
                changed_.notify_all();
            }
        } catch (...) {
            // Taking a job or keeping a piece read failed (no room): which piece is lost is not
            // known here, so the writer is told at once.
            std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            failedJob_ = 0;
            changed_.notify_all();
        }
    }

    // Many pages at a time; when such a read fails the pages are read one by one, and each that
    // cannot be read becomes a zero page, listed.
    RowPiece read(const Job& job, std::vector<std::uint8_t> bytes) {
        const FragmentRow& row = *job.row;
        RowPiece piece;
        piece.first = job.first;
        piece.count = std::min(kPagesPerRead, row.pages() - job.first);
        piece.bytes = std::move(bytes);
        piece.bytes.resize(kLeadInBytes +
                           std::size_t{8192} * static_cast<std::size_t>(piece.count));
        if (job.wantsLeadIn) {
            piece.wantsLeadIn = true;
            if (ctx_.pages.readLeadInAndPages(row.startSector, piece.count, piece.bytes.data())) {
                piece.leadInRead = true;
                return piece;
            }
            piece.leadInRead =
                ctx_.pages.readFragmentSectors(row.startSector, -15, 15, piece.bytes.data());
            if (!piece.leadInRead) std::fill_n(piece.bytes.begin(), kLeadInBytes, 0);
        }
        std::vector<bool> readable;
        readFragmentPagesEach(ctx_.pages, row.startSector, job.first, piece.count, piece.page(0),
                              readable);
        for (std::int32_t t = 0; t < piece.count; ++t) {
            if (readable[static_cast<std::size_t>(t)]) continue;
            std::fill_n(piece.page(t), 8192, 0);
            piece.unreadable.push_back(row.startPage + job.first + t);
        }
        return piece;
    }

    AssemblyContext& ctx_;
    std::vector<Job> jobs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::size_t, RowPiece> ready_;  // read, by job, until the writer takes them
    std::size_t taken_ = 0;                  // jobs a thread has taken
    std::size_t handed_ = 0;                 // pieces the writer has taken
    std::vector<std::vector<std::uint8_t>> spare_;
    bool stop_ = false;
    std::exception_ptr failure_;
    std::size_t failedJob_ = 0;         // the first job whose read threw
    std::vector<std::thread> threads_;  // last: they start with everything above in place
};

// The last page of a row, held back for the next row's repair.
struct LastPage {
    Page bytes{};
    PageSource source = PageSource::Run;
};

// Puts a row's pages into the sink as the reader hands them on; the last page is handed back,
// since the next row may repair it. The first piece of the row is already taken.
void copyRowPages(AssemblyContext& ctx, const FragmentRow& row, RowPiece piece, RowReader& reader,
                  PageSink& sink, AssemblyOutcome& outcome, LastPage& last) {
    while (!ctx.stopAsked()) {
        for (std::int32_t pageId : piece.unreadable) {
            // One box for the whole file, a line for every page.
            if (outcome.unreadablePages.empty())
                ctx.reporter.showMessage("read disk error", "message");
            ctx.reporter.logLine(
                Memo::Assembly,
                readErrorLine(row.startSector + std::int64_t{pageId - row.startPage} * 16, pageId));
            outcome.unreadablePages.push_back(pageId);
        }
        for (std::int32_t t = 0; t < piece.count; ++t) {
            auto page = std::span<const std::uint8_t, 8192>(piece.page(t), 8192);
            const std::int32_t pageId = row.startPage + piece.first + t;
            const PageSource source = std::find(piece.unreadable.begin(), piece.unreadable.end(),
                                                pageId) != piece.unreadable.end()
                                          ? PageSource::Unreadable
                                          : PageSource::Run;
            if (piece.first + t == row.pages() - 1) {
                std::copy(page.begin(), page.end(), last.bytes.begin());
                last.source = source;
            } else {
                sink.put(pageId, page, source);
            }
        }
        const bool more = piece.first + piece.count < row.pages();
        reader.recycle(std::move(piece));
        if (!more) return;
        std::optional<RowPiece> next = reader.next();
        if (!next) return;
        piece = std::move(*next);
    }
}

// A page count from a damaged file header page may ask for terabytes of padding: the file can
// never have been larger than the source that held it.
std::int64_t paddedPageCount(AssemblyContext& ctx, std::int64_t lastEnd, AssemblyOutcome& outcome) {
    const std::int64_t asked = std::max<std::int64_t>(ctx.results.expectedPageCount, lastEnd);
    if (ctx.sourceSectors <= 0) return asked;
    const std::int64_t most = std::max<std::int64_t>(ctx.sourceSectors / kSectorsPerPage, lastEnd);
    if (asked <= most) return asked;
    outcome.cutPages = asked - most;
    ctx.reporter.say(Memo::Assembly, said(Saying::HeaderStatesMorePages, asked, most));
    return most;
}

// Asked to stop, the file is left unwritten: the output keeps no half file.
bool stopHere(AssemblyContext& ctx, AssemblyOutcome& outcome) {
    if (!ctx.stopAsked()) return false;
    outcome.stopped = true;
    outcome.error = "stopped";
    ctx.reporter.say(Memo::Assembly, said(Saying::Stopped));
    return true;
}

}  // namespace

std::string defaultMdfName(const std::string& lostFileName) {
    const std::size_t slash = lostFileName.find_last_of('\\');
    return slash == std::string::npos ? lostFileName : lostFileName.substr(slash + 1);
}

AssemblyOutcome writeMdf(AssemblyContext& ctx, const std::string& outputPath) {
    ctx.reporter.clearLog(Memo::Assembly);
    AssemblyOutcome outcome;
    // The reader and the writer go by one copy: a window may let the user sort the combination
    // while the file is written.
    const std::vector<FragmentRow> rows = ctx.combination.rows;
    if (rows.empty() || rows[0].startPage != 0) {
        outcome.error = "the combination does not begin with page 0";
        return outcome;
    }
    OutputFile out(outputPath, ctx.guard, OutputFile::Kind::Large);
    if (!out.ok()) {
        outcome.error = out.error();
        ctx.reporter.showMessage("error,file create error: " + out.error(), "message",
                                 MessageIcon::Error);
        return outcome;
    }

    ctx.reporter.sayStatus(said(Saying::WritingFile, outputPath));
    PageSink sink(ctx, out, outcome);
    const std::int64_t total = paddedPageCount(ctx, rows.back().endPage, outcome);
    sink.setTotal(total);
    LastPage last;
    const FragmentRow* previous = nullptr;
    RowReader reader(ctx, rows);
    for (const FragmentRow& row : rows) {
        ctx.reporter.processEvents();
        if (stopHere(ctx, outcome)) return outcome;
        if (row.pages() <= 0) continue;  // a record without pages has nothing to give
        std::optional<RowPiece> piece = reader.next();
        if (!piece) break;
        if (previous) {
            if (piece->wantsLeadIn) {
                if (!piece->leadInRead)
                    ctx.reporter.showMessage("read disk error ,leftpage", "message");
                // A tail taken from elsewhere, or one of several that would do, is no page read
                // whole: without protection it cannot be told right.
                const BoundaryRepair repair =
                    repairBoundaryPage(last.bytes, piece->leadIn(), ctx.sectorsPerCluster);
                if (repair == BoundaryRepair::Pieced || repair == BoundaryRepair::Ambiguous)
                    last.source = PageSource::Pieced;
            }
            sink.put(previous->endPage - 1, last.bytes, last.source);
            if (previous->endPage < row.startPage)
                sink.zeros(previous->endPage, row.startPage - previous->endPage);
        } else if (row.startPage > 0) {
            // The first row had no pages (it stands for a lost file header page): zeros from 0.
            sink.zeros(0, row.startPage);
        }
        copyRowPages(ctx, row, std::move(*piece), reader, sink, outcome, last);
        previous = &row;
    }
    if (stopHere(ctx, outcome)) return outcome;
    if (previous) sink.put(previous->endPage - 1, last.bytes, last.source);
    const std::int64_t end = previous ? previous->endPage : 0;
    if (total > end) sink.zeros(static_cast<std::int32_t>(end), total - end);

    if (!out.commit()) {
        outcome.error = out.error();
        ctx.reporter.showMessage("error,file create error: " + out.error(), "message",
                                 MessageIcon::Error);
        return outcome;
    }
    outcome.sha256 = sink.finishHash();
    outcome.verdict = sink.verdict();
    outcome.written = true;
    ctx.reporter.say(Memo::Assembly, said(Saying::CreateMdfFinished, outputPath));
    return outcome;
}

}  // namespace mdf
