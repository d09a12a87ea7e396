#include "session/recovery_report.h"

#include <algorithm>

#include "assembly/verdict_report.h"

namespace mdf {
namespace {

nlohmann::json pageList(const std::vector<std::int32_t>& pages) {
    return {{"count", pages.size()}, {"list", pages}};
}

std::vector<std::int32_t> unreadablePages(const RecoverySession& session,
                                          const AssemblyOutcome& outcome) {
    std::vector<std::int32_t> unreadable = outcome.unreadablePages;
    unreadable.insert(unreadable.end(), session.analysis().unreadablePages.begin(),
                      session.analysis().unreadablePages.end());
    std::sort(unreadable.begin(), unreadable.end());
    unreadable.erase(std::unique(unreadable.begin(), unreadable.end()), unreadable.end());
    return unreadable;
}

// The tables a partial file's missing or failing pages belong to.
nlohmann::json tablesHitJson(const FileCensus& census) {
    nlohmann::json hit = nlohmann::json::array();
    for (const TableCensus& t : census.tables)
        if (!t.whole())
            hit.push_back({{"table", t.qualifiedName()},
                           {"object_id", t.objectId},
                           {"rows", t.rows},
                           {"pages", t.pages},
                           {"pages_missing", t.pagesMissing},
                           {"pages_failing", t.pagesFailing},
                           {"lost_iam_pages", t.lostIamPages}});
    return hit;
}

}  // namespace

nlohmann::json recoveryJson(const RecoverySession& session, const RecoveryResult& result,
                            const std::string& output) {
    const AssemblyOutcome& outcome = result.written;
    const Verdict& verdict = outcome.verdict;
    nlohmann::json zeroFilled = nlohmann::json::array();
    for (const PageRange& r : outcome.zeroFilled)
        zeroFilled.push_back({{"first", r.first}, {"count", r.count}});
    const std::int64_t lacking = static_cast<std::int64_t>(
        verdict.findings.missingAllocated.size() +
        verdict.findings.missingAllocationUnknown.size() + verdict.findings.unreadable.size() +
        verdict.findings.failingProtection.size() + verdict.findings.failingStructure.size() +
        verdict.findings.unverifiable.size() + verdict.findings.otherDatabase.size() +
        verdict.findings.takenWithoutEvidence.size());
    const std::int64_t good = verdict.verifiedPages + verdict.soundPages;
    return {{"status", outcome.written && verdict.complete ? "complete" : "partial"},
            {"database_name", session.analysis().lostFileName},
            {"expected_pages", session.analysis().expectedPageCount},
            {"pages_written", outcome.pages},
            {"fragments_used", session.combination().rows.size()},
            {"verified_pages", outcome.verifiedPages},
            {"unprotected_pages", outcome.unprotectedPages},
            {"empty_pages", outcome.emptyPages},
            {"failed_pages", pageList(outcome.failedPages)},
            {"unreadable_pages", pageList(unreadablePages(session, outcome))},
            {"restored_pages", pageList(outcome.restoredPages)},
            {"missing_pages", pageList(result.missing.pages)},
            {"missing_pfs_pages", result.missing.pfsPages},
            {"zero_filled_pages", outcome.zeroFilledPages},
            {"zero_filled", zeroFilled},
            {"pages_cut", outcome.cutPages},
            {"completeness", good + lacking > 0
                                 ? static_cast<double>(good) / static_cast<double>(good + lacking)
                                 : 0.0},
            {"verdict", verdictJson(verdict)},
            {"tables_hit", tablesHitJson(result.tables)},
            {"tables_hit_text", tablesHit(result.tables)},
            {"catalogue_problems", result.tables.problems},
            {"output", output},
            {"report", result.reportPath},
            {"log", result.logPath},
            {"sha256", outcome.sha256}};
}

std::vector<std::string> recoveryLines(const RecoverySession& session, const RecoveryResult& result,
                                       const std::string& output, VerdictWords language) {
    const AssemblyOutcome& outcome = result.written;
    std::vector<std::string> lines;
    lines.push_back("recovered " + session.analysis().lostFileName + " (" +
                    std::to_string(outcome.pages) + " pages, " +
                    std::to_string(session.combination().rows.size()) + " fragments) to " + output);
    lines.push_back(
        "pages written as read: " + std::to_string(outcome.pages - outcome.zeroFilledPages) +
        ", zero-filled (no fragment holds them): " + std::to_string(outcome.zeroFilledPages) +
        ", unreadable: " + std::to_string(unreadablePages(session, outcome).size()));
    for (const std::string& line : verdictLines(outcome.verdict, language))
        lines.push_back(line);
    for (const std::string& line : tablesHit(result.tables))
        lines.push_back("table hit: " + line);
    lines.push_back("sha256 " + outcome.sha256);
    if (!result.reportPath.empty() && result.keptError.empty())
        lines.push_back("report: " + result.reportPath + ", log: " + result.logPath);
    if (!outcome.verdict.complete)
        lines.push_back(language == VerdictWords::English
                            ? "partial result: the file lacks the pages listed above"
                            : "部分恢复: 文件缺少上面列出的页面(partial result: the file lacks the "
                              "pages listed above)");
    return lines;
}

}  // namespace mdf
