#include "cli/session_file.h"

#include <fmt/core.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/source_options.h"

namespace mdf::cli {

bool SessionFile::save(const std::string& path) const {
    nlohmann::json j = {{"scan_info", scanInfo},
                        {"content", content},
                        {"source", source},
                        {"partition", partition ? nlohmann::json(*partition) : nlohmann::json()},
                        {"file", file},
                        {"file_id", fileId},
                        {"expected_pages", expectedPages},
                        {"lost_file_name", lostFileName},
                        {"recorded", recorded},
                        {"first_recorded_with_pfs_pass_only", firstRecordedWithPfsPassOnly},
                        {"combination", combination},
                        {"first_row_remark", firstRowRemark}};
    std::ofstream out(path);
    out << j.dump(2) << "\n";
    return static_cast<bool>(out);
}

std::optional<SessionFile> SessionFile::load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    try {
        auto j = nlohmann::json::parse(in);
        SessionFile s;
        s.scanInfo = j.at("scan_info");
        s.content = j.at("content");
        s.source = j.at("source");
        if (!j.at("partition").is_null()) s.partition = j.at("partition").get<int>();
        s.file = j.at("file");
        s.fileId = j.at("file_id");
        s.expectedPages = j.at("expected_pages");
        s.lostFileName = j.at("lost_file_name");
        s.recorded = j.at("recorded").get<std::vector<std::int32_t>>();
        s.firstRecordedWithPfsPassOnly = j.at("first_recorded_with_pfs_pass_only");
        s.combination = j.at("combination").get<std::vector<std::int32_t>>();
        s.firstRowRemark = j.at("first_row_remark");
        return s;
    } catch (const std::exception& e) {
        error = fmt::format("{} is not a session file: {}", path, e.what());
        return std::nullopt;
    }
}

bool openScanAndSource(RecoverySession& session, const std::string& scanInfo,
                       const std::string& content, const std::string& source,
                       const std::optional<int>& partition) {
    if (!source.empty()) {
        SourceOptions options{source, partition, {}};
        if (!options.choose(session)) return false;
    }
    return session.Button3Click(scanInfo, content.empty() ? std::nullopt : std::optional(content));
}

bool SessionFile::restore(RecoverySession& session) const {
    session.settings.fileIdText = std::to_string(fileId);
    if (!openScanAndSource(session, scanInfo, content, source, partition)) return false;
    AnalysisResults& a = session.analysis;
    a.expectedPageCount = expectedPages;
    a.lostFileName = lostFileName;
    a.combinationMarks.assign(session.fragments.size(), 0);
    for (std::int32_t r : combination) {
        if (r < 0 || static_cast<std::size_t>(r) >= session.fragments.size()) return false;
        a.mark(r);
    }
    // The map is built again the way it was built: the same fragments, in the same order.
    SilentReporter quiet;
    PageMapPass pass{a.pageMap, session.pages(), quiet, session.volume.sectorsPerCluster};
    a.pageMap.reset(expectedPages);
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        if (recorded[i] < 0 || static_cast<std::size_t>(recorded[i]) >= session.fragments.size())
            return false;
        const FragmentRecord& r = session.fragments[static_cast<std::size_t>(recorded[i])];
        if (i == 0 && firstRecordedWithPfsPassOnly)
            recordPfsPages(pass, r.pages(), r.beginPage, r.fsec);
        else
            recordFragmentPages(pass, r.pages(), r.beginPage, r.fsec);
    }
    a.recordedFragments = recorded;
    a.firstRecordedWithPfsPassOnly = firstRecordedWithPfsPassOnly;
    if (!recorded.empty()) a.lastChosenFragment = recorded.back();
    session.combination.RefreshCombinationList(session.fragments, a.combinationMarks);
    session.sortCombinationByStartPage();
    if (!firstRowRemark.empty() && !session.combination.rows.empty())
        session.combination.rows[0].remark() = firstRowRemark;
    return true;
}

void SessionFile::capture(const RecoverySession& session) {
    const AnalysisResults& a = session.analysis;
    expectedPages = a.expectedPageCount;
    lostFileName = a.lostFileName;
    recorded = a.recordedFragments;
    firstRecordedWithPfsPassOnly = a.firstRecordedWithPfsPassOnly;
    combination.clear();
    for (std::size_t i = 0; i < a.combinationMarks.size(); ++i)
        if (a.combinationMarks[i] == 1) combination.push_back(static_cast<std::int32_t>(i));
    firstRowRemark =
        session.combination.rows.empty() ? std::string() : session.combination.rows[0].cells[3];
}

}  // namespace mdf::cli
