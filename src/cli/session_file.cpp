#include "cli/session_file.h"

#include <fmt/core.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/exit_codes.h"
#include "cli/resume_file.h"
#include "cli/source_options.h"
#include "source/image_format.h"
#include "source/json_numbers.h"

namespace mdf::cli {

OutputGuard SessionFile::guard(bool allowSourceDevice) const {
    OutputGuard g = SourceOptions{source, partition, mapFile}.guard(allowSourceDevice);
    g.keep(scanInfo, "the scan-info file of this session")
        .keep(content, "the content file of this session");
    if (madeFrom != source) {
        const OutputGuard original = guardOfSource(madeFrom, false);
        g.keep(original.sourcePath, "the source the saved scan was made of");
        for (const GuardedFile& f : original.others)
            g.keep(f.path, f.role);
    }
    return g;
}

std::string madeFromOf(const std::string& scanInfo, const std::string& given,
                       const RecoverySession& session) {
    if (!given.empty()) return given;
    std::string unused;
    if (auto resume = ResumeFile::load(ResumeFile::pathFor(scanInfo), unused))
        return resume->source.path;
    return session.contentMadeFrom();
}

std::string SessionFile::save(const std::string& path, const OutputGuard& guard) const {
    nlohmann::json j = {
        {"scan_info", scanInfo},
        {"content", content},
        {"source", source},
        {"partition", partition ? nlohmann::json(*partition) : nlohmann::json()},
        {"mapfile", mapFile},
        {"file", file},
        {"file_id", fileId},
        {"expected_pages", analysis.expectedPages},
        {"lost_file_name", analysis.lostFileName},
        {"recorded", analysis.recorded},
        {"first_recorded_with_pfs_pass_only", analysis.firstRecordedWithPfsPassOnly},
        {"combination", analysis.combination},
        {"guessed", analysis.guessed},
        {"first_row_remark", analysis.firstRowRemark},
        {"first_page_sha256", analysis.firstPageSha256},
        {"made_from", madeFrom}};
    OutputFile out(path, guard);
    const std::string text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (out.ok()) out.commit();
    return out.error();
}

std::optional<SessionFile> SessionFile::load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    try {
        auto j = nlohmann::json::parse(in);
        if (!j.is_object()) throw std::runtime_error("not a JSON object");
        SessionFile s;
        s.scanInfo = j.at("scan_info");
        s.content = j.at("content");
        s.source = j.at("source");
        if (!j.at("partition").is_null()) s.partition = jsonInteger<int>(j.at("partition"));
        s.mapFile = j.value("mapfile", std::string());
        s.file = jsonInteger<int>(j.at("file"));
        s.fileId = jsonInteger<std::uint16_t>(j.at("file_id"));
        AnalysisSnapshot& a = s.analysis;
        a.expectedPages = jsonInteger<std::int32_t>(j.at("expected_pages"));
        a.lostFileName = j.at("lost_file_name");
        a.recorded = jsonIntegers<std::int32_t>(j.at("recorded"));
        a.firstRecordedWithPfsPassOnly = j.at("first_recorded_with_pfs_pass_only");
        a.combination = jsonIntegers<std::int32_t>(j.at("combination"));
        if (j.contains("guessed")) a.guessed = jsonIntegers<std::int32_t>(j.at("guessed"));
        a.firstRowRemark = j.at("first_row_remark");
        a.firstPageSha256 = j.value("first_page_sha256", std::string());
        s.madeFrom = j.value("made_from", s.source);
        return s;
    } catch (const std::exception& e) {
        error = fmt::format("{} is not a session file: {}", path, e.what());
        return std::nullopt;
    }
}

bool openScanAndSource(RecoverySession& session, const std::string& scanInfo,
                       const std::string& content, const SourceOptions& source, int* failure) {
    int ignored = 0;
    int& code = failure ? *failure : ignored;
    if (!source.path.empty() && !source.choose(session, &code)) return false;
    code = kBadInput;
    if (!session.openScan(scanInfo, content.empty() ? std::nullopt : std::optional(content)))
        return false;
    std::string unused;
    if (auto resume = ResumeFile::load(ResumeFile::pathFor(scanInfo), unused))
        resume->lendEvidence(session, scanInfo);
    return true;
}

bool SessionFile::restore(RecoverySession& session) const {
    session.settings().fileId = fileId;
    if (!openScanAndSource(session, scanInfo, content, SourceOptions{source, partition, mapFile}))
        return false;
    return session.restoreAnalysis(analysis);
}

void SessionFile::capture(RecoverySession& session) {
    analysis = session.snapshotAnalysis();
}

}  // namespace mdf::cli
