#include "cli/resume_file.h"

#include <fmt/core.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/exit_codes.h"
#include "source/text_numbers.h"

namespace mdf::cli {

void ResumeFile::capture(RecoverySession& session) {
    settings = session.settings();
    position = session.scanPosition();
    memo = session.scanMemo();
    sourceSectors = session.sourceEndSector();
    firstPageSha256 = session.sourceFirstPageSha256();
}

std::string ResumeFile::save(const std::string& path, const OutputGuard& guard) const {
    std::error_code ec;
    // A later run may start in another folder: the source is named so that it is found again.
    const std::string sourcePath = std::filesystem::absolute(source.path, ec).string();
    const ScanSettings& s = settings;
    nlohmann::json j = {
        {"source", ec ? source.path : sourcePath},
        {"partition", source.partition ? nlohmann::json(*source.partition) : nlohmann::json()},
        {"mapfile", source.mapFile},
        {"direct_io", directIo},
        {"begin_sector", s.beginSector},
        {"end_sector", s.endSector},
        {"sectors_per_cluster", s.sectorsPerCluster},
        {"file_system", s.fileSystemLabel},
        {"file_id", s.fileIdText},
        {"free_space_only", s.freeSpaceOnly},
        {"start_page_limit", s.startPageLimit},
        {"max_start_page", s.maxStartPage},
        {"content", content},
        {"cursor", position.cursor},
        {"skip", position.skip},
        {"window_start", position.windowStart},
        {"counter", position.counter},
        {"memo", memo},
        {"source_sectors", sourceSectors},
        {"first_page_sha256", firstPageSha256}};
    OutputFile out(path, guard);
    const std::string text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (out.ok()) out.commit();
    return out.error();
}

std::optional<ResumeFile> ResumeFile::load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = fmt::format(
            "{} cannot be read: only a scan-info file written by scan or recover (which keep "
            "this file beside it) can be resumed",
            path);
        return std::nullopt;
    }
    try {
        auto j = nlohmann::json::parse(in);
        if (!j.is_object()) throw std::runtime_error("not a JSON object");
        ResumeFile r;
        r.source.path = j.at("source");
        if (!j.at("partition").is_null()) r.source.partition = j.at("partition").get<int>();
        r.source.mapFile = j.at("mapfile");
        r.directIo = j.at("direct_io");
        ScanSettings& s = r.settings;
        s.beginSector = j.at("begin_sector");
        s.endSector = j.at("end_sector");
        s.sectorsPerCluster = j.at("sectors_per_cluster");
        s.fileSystemLabel = j.at("file_system");
        s.fileIdText = j.at("file_id");
        s.freeSpaceOnly = j.at("free_space_only");
        s.startPageLimit = j.at("start_page_limit");
        s.maxStartPage = j.at("max_start_page");
        r.content = j.at("content");
        r.position.cursor = j.at("cursor");
        r.position.skip = j.at("skip");
        r.position.windowStart = j.at("window_start");
        r.position.counter = j.at("counter");
        r.memo = j.at("memo");
        r.sourceSectors = j.at("source_sectors");
        r.firstPageSha256 = j.at("first_page_sha256");
        // A scan that never began to read has no position to go on from.
        if (r.position.cursor < 0) throw std::runtime_error("no scan position");
        return r;
    } catch (const std::exception& e) {
        error = fmt::format("{} is not a resume file: {}", path, e.what());
        return std::nullopt;
    }
}

void ResumeFile::fillIn(SourceOptions& given) const {
    if (given.path.empty()) given.path = source.path;
    if (!given.partition) given.partition = source.partition;
    if (given.mapFile.empty()) given.mapFile = source.mapFile;
}

bool ResumeFile::restore(RecoverySession& session, const std::string& scanInfo) const {
    // A first page that could not be read when the scan stopped (a failing disk) proves nothing
    // either way; the size still does.
    if (session.sourceEndSector() != sourceSectors ||
        (!firstPageSha256.empty() && session.sourceFirstPageSha256() != firstPageSha256)) {
        complain(
            "the source is not the one the stopped scan was made of (its size or its first "
            "page differs); give the source it was made of");
        return false;
    }
    if (directIo) session.readSourceDirectly(true);
    // The source choice filled the settings; the scan goes on with the ones it ran with.
    session.settings() = settings;
    if (!session.openScan(scanInfo, std::nullopt)) return false;
    session.scanMemo() = memo;
    session.resumeScanAt(position);
    if (position.cursor >= parseInteger(settings.endSector).value_or(0))
        note("the scan had finished: its {} fragments are taken as they are",
             session.fragments().size());
    else
        note("going on with the scan from sector {} of {}, with the {} fragments found before it",
             position.cursor, settings.endSector, session.fragments().size());
    return true;
}

}  // namespace mdf::cli
