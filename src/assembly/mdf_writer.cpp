#include "assembly/mdf_writer.h"

#include <algorithm>
#include <array>

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

    void put(std::int32_t pageId, std::span<const std::uint8_t, 8192> page) {
        auto restored = ctx_.results.restoredPages.find(pageId);
        if (restored != ctx_.results.restoredPages.end()) {
            outcome_.restoredPages.push_back(pageId);
            page = restored->second;
        }
        classify(pageId, page);
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
            put(it->first, zero);
            runStart = std::int64_t{it->first} + 1;
        }
        writeZeroRun(runStart, end);
    }

    void setTotal(std::int64_t pages) { total_ = std::max<std::int64_t>(pages, 1); }
    // Only once the output is committed: until then the hash may still be taking bytes.
    std::string finishHash() { return sha_.finishHex(); }

  private:
    void writeZeroRun(std::int64_t start, std::int64_t end) {
        if (start < 0 || end <= start) return;
        out_.writeZeros(static_cast<std::uint64_t>(end - start) * 8192);
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
    std::int64_t total_ = 1;
    int lastPercent_ = -1;
};

// Reads a row's pages many at a time; when such a read fails the pages are read one by one, and
// each that cannot be read becomes a zero page, listed and told. Every page but the last goes to
// the sink; the last is handed back, since the next row may repair it.
void copyRowPages(AssemblyContext& ctx, const FragmentRow& row, PageSink& sink,
                  AssemblyOutcome& outcome, Page& last, std::vector<std::uint8_t>& chunk) {
    chunk.resize(std::size_t{kPagesPerRead} * 8192);
    const std::int32_t pages = row.pages();
    for (std::int32_t first = 0; first < pages; first += kPagesPerRead) {
        const std::int32_t count = std::min(kPagesPerRead, pages - first);
        if (!ctx.pages.readFragmentPages(row.startSector, first, count, chunk.data())) {
            for (std::int32_t t = 0; t < count; ++t) {
                auto slot = std::span<std::uint8_t, 8192>(
                    &chunk[std::size_t{8192} * static_cast<std::size_t>(t)], 8192);
                if (!readFragmentPage(ctx.pages, row.startSector, first + t, slot)) {
                    std::fill(slot.begin(), slot.end(), 0);
                    ctx.reporter.showMessage("read disk error", "message");
                    outcome.unreadablePages.push_back(row.startPage + first + t);
                }
            }
        }
        for (std::int32_t t = 0; t < count; ++t) {
            auto page = std::span<const std::uint8_t, 8192>(
                &chunk[std::size_t{8192} * static_cast<std::size_t>(t)], 8192);
            if (first + t == pages - 1)
                std::copy(page.begin(), page.end(), last.begin());
            else
                sink.put(row.startPage + first + t, page);
        }
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
    ctx.reporter.logLine(Memo::Assembly,
                         "文件头页声明 " + std::to_string(asked) + " 页,数据源最多容纳 " +
                             std::to_string(most) + " 页 (the file header page states " +
                             std::to_string(asked) + " pages; the source holds at most " +
                             std::to_string(most) + "; the file ends there)");
    return most;
}

}  // namespace

std::string defaultMdfName(const std::string& lostFileName) {
    const std::size_t slash = lostFileName.find_last_of('\\');
    return slash == std::string::npos ? lostFileName : lostFileName.substr(slash + 1);
}

AssemblyOutcome writeMdf(AssemblyContext& ctx, const std::string& outputPath) {
    ctx.reporter.clearLog(Memo::Assembly);
    AssemblyOutcome outcome;
    const auto& rows = ctx.combination.rows;
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

    PageSink sink(ctx, out, outcome);
    const std::int64_t total = paddedPageCount(ctx, rows.back().endPage, outcome);
    sink.setTotal(total);
    Page last{};
    std::array<std::uint8_t, kLeadInBytes> leadIn{};
    const FragmentRow* previous = nullptr;
    std::vector<std::uint8_t> chunk;  // one buffer for every row: thousands of rows are usual
    for (const FragmentRow& row : rows) {
        ctx.reporter.processEvents();
        if (row.pages() <= 0) continue;  // a record without pages has nothing to give
        if (previous) {
            if (ctx.sectorsPerCluster < 16 && previous->endPage == row.startPage) {
                leadIn.fill(0);
                if (!ctx.pages.readFragmentSectors(row.startSector, -15, 15, leadIn.data()))
                    ctx.reporter.showMessage("read disk error ,leftpage", "message");
                repairBoundaryPage(last, leadIn, ctx.sectorsPerCluster);
            }
            sink.put(previous->endPage - 1, last);
            if (previous->endPage < row.startPage)
                sink.zeros(previous->endPage, row.startPage - previous->endPage);
        } else if (row.startPage > 0) {
            // The first row had no pages (it stands for a lost file header page): zeros from 0.
            sink.zeros(0, row.startPage);
        }
        copyRowPages(ctx, row, sink, outcome, last, chunk);
        previous = &row;
    }
    if (previous) sink.put(previous->endPage - 1, last);
    const std::int64_t end = previous ? previous->endPage : 0;
    if (total > end) sink.zeros(static_cast<std::int32_t>(end), total - end);

    if (!out.commit()) {
        outcome.error = out.error();
        ctx.reporter.showMessage("error,file create error: " + out.error(), "message",
                                 MessageIcon::Error);
        return outcome;
    }
    outcome.sha256 = sink.finishHash();
    outcome.written = true;
    ctx.reporter.logLine(Memo::Assembly, "组合MDF完成(CREATE MDF finished): " + outputPath);
    return outcome;
}

}  // namespace mdf
