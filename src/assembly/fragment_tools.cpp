#include "assembly/fragment_tools.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include "assembly/boundary_repair.h"
#include "report/progress_gauge.h"
#include "report/reporter.h"
#include "scan/file_header_readers.h"
#include "source/byte_order.h"
#include "source/text_numbers.h"

namespace mdf {
namespace {

using Page = std::array<std::uint8_t, 8192>;

// A page that cannot be read is exported as zeros and listed, never the end of the export.
void readPageOrZero(FragmentTools& t, const FragmentRow& row, std::int32_t index, Page& page,
                    ExportOutcome& outcome) {
    page.fill(0);
    if (readFragmentPage(t.pages, row.startSector, index, page)) return;
    page.fill(0);
    // One box for the whole export, a line for every page.
    if (outcome.unreadablePages.empty()) t.reporter.showMessage("read disk error", "message");
    t.reporter.logLine(Memo::Assembly, readErrorLine(row.startSector + std::int64_t{index} * 16,
                                                     row.startPage + index));
    outcome.unreadablePages.push_back(row.startPage + index);
}

bool finish(FragmentTools& t, OutputFile& out, ExportOutcome& outcome) {
    if (out.ok() && out.commit()) {
        outcome.files.push_back(out.path());
        return true;
    }
    outcome.error = out.error();
    t.reporter.showMessage("error,file create error: " + out.error(), "message",
                           MessageIcon::Error);
    return false;
}

}  // namespace

std::vector<FragmentRow> visibleRows(const FragmentList& list) {
    std::vector<FragmentRow> rows;
    for (std::int32_t r : visibleRecords(list))
        rows.push_back(fragmentRow(list, r, static_cast<std::int64_t>(rows.size()) + 1));
    return rows;
}

ExportOutcome FragmentTools::exportToOneFile(std::span<const FragmentRow> chosen,
                                             bool checkDoublePageIds, const std::string& path) {
    ExportOutcome outcome;
    if (chosen.empty()) {
        outcome.error = "no fragment is checked";
        reporter.showMessage("error,no fragment is checked", "message", MessageIcon::Error);
        return outcome;
    }
    if (checkDoublePageIds) {
        for (std::size_t i = 1; i < chosen.size(); ++i) {
            const FragmentRow& row = chosen[i];
            if (row.startPage < chosen[i - 1].endPage) {
                outcome.error = "error,pageid not connectted:" + std::to_string(row.startPage);
                reporter.showMessage(outcome.error, "message");
                return outcome;
            }
        }
    }
    OutputFile out(path, guard);
    // Each fragment's last page is held back until the next fragment has had the chance to repair
    // it, so the file is only ever appended to.
    Page page{}, last{};
    bool haveLast = false;
    std::array<std::uint8_t, kLeadInBytes> leadIn{};
    ProgressGauge gauge(reporter);
    for (std::size_t i = 0; i < chosen.size() && out.ok(); ++i) {
        // The export runs on the window's thread: the window stays alive through a long one.
        if (gauge.show(static_cast<std::int64_t>(i), static_cast<std::int64_t>(chosen.size())))
            reporter.processEvents();
        const FragmentRow& row = chosen[i];
        if (i > 0) {
            const std::int32_t previousEnd = chosen[i - 1].endPage;
            if (haveLast && sectorsPerCluster < 16 && previousEnd == row.startPage) {
                leadIn.fill(0);
                if (!pages.readFragmentSectors(row.startSector, -15, 15, leadIn.data()))
                    reporter.showMessage("read disk error", "message");
                else
                    repairBoundaryPage(last, leadIn, sectorsPerCluster);
            }
            if (haveLast) out.write(last);
            haveLast = false;
            if (previousEnd < row.startPage)
                out.writeZeros(std::uint64_t{8192} *
                               static_cast<std::uint64_t>(row.startPage - previousEnd));
        }
        for (std::int32_t p = 0; p < row.pages(); ++p) {
            readPageOrZero(*this, row, p, page, outcome);
            if (p + 1 < row.pages()) {
                out.write(page);
            } else {
                last = page;
                haveLast = true;
            }
        }
    }
    if (haveLast) out.write(last);
    if (!finish(*this, out, outcome)) return outcome;
    outcome.written = true;
    reporter.tell(said(Saying::Saved), "message");
    return outcome;
}

ExportOutcome FragmentTools::exportToFolder(std::span<const FragmentRow> chosen,
                                            const std::string& folder) {
    ExportOutcome outcome;
    if (chosen.empty()) {
        outcome.error = "no fragment is checked";
        reporter.showMessage("error,no fragment is checked", "message", MessageIcon::Error);
        return outcome;
    }
    Page page{};
    ProgressGauge gauge(reporter);
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        if (gauge.show(static_cast<std::int64_t>(k), static_cast<std::int64_t>(chosen.size())))
            reporter.processEvents();
        const FragmentRow& row = chosen[k];
        const std::string path =
            (std::filesystem::path(folder) / (std::to_string(row.startSector) + ".hex")).string();
        OutputFile out(path, guard);
        for (std::int32_t p = 0; p < row.pages() && out.ok(); ++p) {
            readPageOrZero(*this, row, p, page, outcome);
            out.write(page);
        }
        if (!finish(*this, out, outcome)) return outcome;
    }
    outcome.written = true;
    reporter.tell(said(Saying::Saved), "message");
    return outcome;
}

void FragmentTools::showStatistics(std::span<const FragmentRow> chosen) {
    std::int64_t total = 0;
    for (const FragmentRow& row : chosen)
        total += row.sizeKB;
    reporter.tell(said(Saying::Statistics, chosen.size(), total), "提示");
}

void FragmentTools::showFileNames(std::span<const FragmentRow> chosen) {
    Page page{};
    for (const FragmentRow& row : chosen) {
        if (row.startPage > 32 || row.endPage <= 32) return;
        page.fill(0);
        if (!pages.readFragmentSectors(row.startSector, (32 - row.startPage) * 16, 16,
                                       page.data())) {
            reporter.showMessage("read disk error", "message");
            return;
        }
        restoreTornBits(page);
        FileNameResult name = readFileName(page);
        reporter.showMessage(name.result == 0 ? name.name : "none", "message");
    }
}

void FragmentTools::appendLogSequenceNumbers(std::span<FragmentRow> rows) {
    Page page{};
    for (FragmentRow& row : rows) {
        if (row.startPage != 0) continue;
        page.fill(0);
        if (!readFragmentPage(pages, row.startSector, 0, page)) {
            reporter.showMessage("read disk error", "message");
            return;
        }
        row.remark = std::string(trimBlanks(row.remark)) + " " + logSequenceText(page.data());
    }
    reporter.tell(said(Saying::ProcessDone), "message");
}

void addToCombination(std::span<const FragmentRow> chosen, const FragmentList& list,
                      AnalysisResults& results, CombinationList& combination) {
    for (const FragmentRow& row : chosen)
        results.mark(row.recordIndex);
    results.combinationMarks.resize(std::max(results.combinationMarks.size(), list.size()), 0);
    combination.refresh(list, results.combinationMarks);
}

bool applyFilter(FragmentList& list, const FilterInput& input) {
    if (input.mode == FilterMode::None) return false;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const FragmentRecord& r = list[i];
        bool visible = true;
        if (input.mode == FilterMode::BeginPageRange)
            visible = input.beginAtLeast <= r.beginPage && r.beginPage < input.beginBelow;
        if (input.mode == FilterMode::ContainsPage)
            visible = r.beginPage <= input.containsPage && input.containsPage < r.endPage;
        list.setVisible(i, visible ? "Y" : "N");
    }
    return true;
}

std::string logSequenceText(const std::uint8_t* page) {
    return fmt::format("{:08X}{:08X}{:04X}", loadU32(page + 40), loadU32(page + 44),
                       loadU16(page + 48));
}

}  // namespace mdf
