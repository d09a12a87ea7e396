// The one sequence after an analysis, for every front end: search more, pieces of split pages,
// the newest copies, the missing-page check, the file written and judged, its report and log.
#include <nlohmann/json.hpp>

#include "analysis/newest_copies.h"
#include "assembly/verdict_report.h"
#include "scan/file_header_readers.h"
#include "scan/page_protection.h"
#include "session/catalogue_names.h"
#include "session/recovery_report.h"
#include "session/recovery_session.h"
#include "tables/catalogue.h"

namespace mdf {

std::vector<std::int32_t> RecoverySession::takeNewestCopies() {
    analysis_.newerCopies.clear();
    analysis_.newestCopies.clear();
    std::vector<TakenRun> runs;
    for (const FragmentRow& row : combination_.rows)
        if (row.pages() > 0) runs.push_back({row.recordIndex, row.startPage, row.endPage});
    NewestCopies found = findNewestCopies(pageOrigin_, fragments_, index_, runs, analysis_.headLsn);
    std::vector<std::int32_t> taken;
    for (auto& [pageId, bytes] : found.better) {
        taken.push_back(pageId);
        reporter_.say(Memo::Assembly,
                      said(Saying::NewerCopyWritten, pageId, pageLogSequence(bytes).text()));
    }
    analysis_.newerCopies = std::move(found.better);
    analysis_.newestCopies = std::move(found.newest);
    return taken;
}

void RecoverySession::nameFromPiecedPage() {
    const auto pieced = analysis_.restoredPages.find(32);
    if (analysis_.lostFileName != kNoName || pieced == analysis_.restoredPages.end()) return;
    std::array<std::uint8_t, 8192> page = pieced->second;
    restoreTornBits(page);
    const FileNameResult name = readFileName(page);
    if (name.result != 0) return;
    analysis_.lostFileName = name.name;
    reporter_.say(Memo::Assembly, said(Saying::NameFromPiecedPage, name.name));
}

// Which tables the missing pages belong to, read from the written file's own catalogue: what a
// technician must know of a partial file before attaching it.
FileCensus RecoverySession::tablesOfWrittenFile(const std::string& outputPath) {
    std::string error;
    const std::unique_ptr<DatabasePages> file = DatabasePages::open(outputPath, error);
    if (!file) return {};
    FileCensus census = takeCensus(*file, readCatalogue(*file));
    for (const std::string& line : tablesHit(census))
        reporter_.say(Memo::Assembly, said(Saying::TableHit, line));
    return census;
}

std::string RecoverySession::keepReport(const std::string& outputPath, RecoveryResult& result) {
    result.reportPath = outputPath + ".report.json";
    result.logPath = outputPath + ".log";
    const OutputGuard guard = outputGuard();
    auto keep = [&](const std::string& path, const std::string& text) {
        OutputFile out(path, guard);
        out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        if (out.ok()) out.commit();
        return out.error();
    };
    const std::string report = recoveryJson(*this, result, outputPath)
                                   .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                               "\n";
    if (std::string error = keep(result.reportPath, report); !error.empty()) return error;
    std::string log;
    for (const std::string& line : keptLog_.lines())
        log += line + "\n";
    return keep(result.logPath, log);
}

RecoveryResult RecoverySession::completeRecovery(const std::string& outputPath) {
    RecoveryResult result;
    if (!idle()) {
        result.written.error = "busy";
        return result;
    }
    if (!listPagesReachable()) {
        result.written.error = "the fragment list is of another source";
        return result;
    }
    ForegroundCommand command(*this);
    // Asked to stop between the steps or inside one: nothing is written.
    const auto stopped = [&] {
        if (!workStopRequested_) return false;
        result.written.stopped = true;
        result.written.error = "stopped";
        return true;
    };
    result.searched = searchMoreNow();
    if (stopped()) return result;
    combination_.sortBy(kStartPageColumn);
    result.piecedPages = restoreSplitPagesNow();
    if (stopped()) return result;
    nameFromPiecedPage();
    result.newerCopies = takeNewestCopies();
    result.missing = checkMissingPagesNow();
    if (stopped()) return result;
    result.written = writeMdfNow(outputPath);
    if (!result.written.written) return result;
    if (!result.written.verdict.complete) result.tables = tablesOfWrittenFile(outputPath);
    result.keptError = keepReport(outputPath, result);
    if (!result.keptError.empty())
        reporter_.showMessage(
            "the report beside the file could not be written: " + result.keptError, "message",
            MessageIcon::Warning);
    return result;
}

}  // namespace mdf
