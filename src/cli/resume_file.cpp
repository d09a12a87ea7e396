#include "cli/resume_file.h"

#include <fmt/core.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/exit_codes.h"
#include "scan/content_file.h"
#include "scan/scan_info_file.h"
#include "source/json_numbers.h"
#include "source/text_numbers.h"

namespace mdf::cli {

namespace {

// The scan's numbers are kept as text, which is how every resume file written so far holds them.
std::int64_t numberField(const nlohmann::json& j, const char* name) {
    const auto& value = j.at(name);
    if (value.is_number_integer()) return jsonInteger<std::int64_t>(value);
    const auto number = parseInteger(value.get<std::string>());
    if (!number) throw std::runtime_error(std::string(name) + " is not a whole number");
    return *number;
}

}  // namespace

void ResumeFile::capture(RecoverySession& session) {
    settings = session.settings();
    position = session.scanPosition();
    memo = session.scanMemo();
    scanId = session.scanId();
    std::vector<FragmentRecord> list;
    list.reserve(session.fragments().size());
    for (const FragmentRecord& r : session.fragments())
        list.push_back(r);
    fragments = std::move(list);
    splitHeads = session.splitHeads();
    const auto sums = session.keptSectorSums();
    sumsKept = sums.has_value();
    sumsFileId = sums ? sums->fileId : std::string();
    sumsCovered = sums ? sums->covered : SectorSums::Ranges{};
}

std::string ResumeFile::save(const std::string& path, const OutputGuard& guard) const {
    const ScanSettings& s = settings;
    nlohmann::json records = nlohmann::json::array();
    for (const FragmentRecord& r : fragments.value_or(std::vector<FragmentRecord>{}))
        records.push_back(r.text());
    nlohmann::json heads = nlohmann::json::array();
    for (const SplitHead& h : splitHeads)
        heads.push_back({h.sector, h.pageId, h.freeSectors});
    nlohmann::json covered = nlohmann::json::array();
    for (const auto& [first, end] : sumsCovered)
        covered.push_back({first, end});
    nlohmann::json j = {
        // A later run may start in another folder: the source is named so that it is found again.
        {"source", absolutePath(source.path)},
        {"partition", source.partition ? nlohmann::json(*source.partition) : nlohmann::json()},
        {"mapfile", absolutePath(source.mapFile)},
        {"direct_io", directIo},
        {"begin_sector", std::to_string(s.beginSector)},
        {"end_sector", std::to_string(s.endSector)},
        {"sectors_per_cluster", std::to_string(strideOrDefault(s))},
        {"file_system", s.fileSystemLabel},
        {"file_id", std::to_string(s.fileId)},
        {"free_space_only", s.freeSpaceOnly},
        {"start_page_limit", s.maxStartPage.has_value()},
        {"max_start_page", s.maxStartPage ? std::to_string(*s.maxStartPage) : std::string()},
        {"content", content},
        {"cursor", position.cursor},
        {"skip", position.skip},
        {"window_start", position.windowStart},
        {"counter", position.counter},
        {"memo", memo},
        {"scan_id", scanId},
        {"source_sectors", fingerprint.sectors},
        {"source_samples", fingerprint.samples},
        {"first_page_sha256", firstPageSha256},
        {"fragments", records},
        {"split_heads", heads},
        {"sector_sums_kept", sumsKept},
        {"sector_sums_id", sumsFileId},
        {"sector_sums_covered", covered}};
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
        if (!j.at("partition").is_null()) r.source.partition = jsonInteger<int>(j.at("partition"));
        r.source.mapFile = j.at("mapfile");
        r.directIo = j.at("direct_io");
        ScanSettings& s = r.settings;
        s.beginSector = numberField(j, "begin_sector");
        s.endSector = numberField(j, "end_sector");
        s.sectorsPerCluster = numberField(j, "sectors_per_cluster");
        s.fileSystemLabel = j.at("file_system");
        s.fileId = static_cast<std::uint16_t>(numberField(j, "file_id"));
        s.freeSpaceOnly = j.at("free_space_only");
        if (j.at("start_page_limit").get<bool>()) s.maxStartPage = numberField(j, "max_start_page");
        r.content = j.at("content");
        r.position.cursor = jsonInteger<std::int64_t>(j.at("cursor"));
        r.position.skip = jsonInteger<std::int64_t>(j.at("skip"));
        r.position.windowStart = jsonInteger<std::int64_t>(j.at("window_start"));
        r.position.counter = jsonInteger<std::int32_t>(j.at("counter"));
        r.memo = j.at("memo");
        r.scanId = j.value("scan_id", std::string());
        r.fingerprint.sectors = jsonInteger<std::int64_t>(j.at("source_sectors"));
        r.fingerprint.samples = j.value("source_samples", std::vector<std::string>{});
        r.firstPageSha256 = j.at("first_page_sha256");
        if (j.contains("fragments")) {
            std::vector<FragmentRecord> list;
            std::size_t line = 0;
            for (const auto& text : j.at("fragments")) {
                ++line;
                std::string why;
                auto record = FragmentRecord::parse(text.get<std::string>(), &why);
                if (!record) throw std::runtime_error(fmt::format("fragment {}: {}", line, why));
                list.push_back(std::move(*record));
            }
            r.fragments = std::move(list);
        }
        for (const auto& h : j.value("split_heads", nlohmann::json::array()))
            r.splitHeads.push_back({jsonInteger<std::int64_t>(h.at(0)),
                                    jsonInteger<std::int32_t>(h.at(1)),
                                    jsonInteger<std::int32_t>(h.at(2))});
        // The sums only spare a read: a record of them that cannot be read leaves them aside,
        // never the position.
        try {
            r.sumsKept = j.value("sector_sums_kept", false);
            r.sumsFileId = j.value("sector_sums_id", std::string());
            for (const auto& c : j.value("sector_sums_covered", nlohmann::json::array()))
                r.sumsCovered.push_back(
                    {jsonInteger<std::int64_t>(c.at(0)), jsonInteger<std::int64_t>(c.at(1))});
        } catch (const std::exception&) {
            r.sumsKept = false;
            r.sumsCovered.clear();
        }
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

bool ResumeFile::ownsContent(const std::string& scanInfo) const {
    std::error_code ec;
    if (content.empty() || !std::filesystem::exists(content, ec)) return true;
    ContentFile file;
    bool own = false;
    if (file.open(content) && file.record()) {
        own = !scanId.empty() && file.record()->scanId == scanId;
    } else if (scanId.empty()) {
        // A pair written before content files had records: the file is this scan's when it is
        // exactly as long as the blocks of the scan-info file's records and the trailer.
        const ScanInfoContents saved = readScanInfo(scanInfo);
        std::uint64_t expected = kContentTrailerBytes;
        for (const FragmentRecord& r : saved.records)
            expected += kContentPrefixBytes +
                        std::uint64_t{8192} * static_cast<std::uint64_t>(std::max(r.pages(), 0));
        own = saved.error.empty() && std::filesystem::file_size(content, ec) == expected;
    }
    if (!own)
        complain(
            "{} is not the content file of the stopped scan, though its resume file names it; "
            "it is kept. Check {} (it may have been changed), or start the scan afresh",
            content, pathFor(scanInfo));
    return own;
}

bool ResumeFile::restore(RecoverySession& session, const std::string& scanInfo) const {
    // A place that could not be read when the scan stopped (a failing disk) proves nothing
    // either way; the size and every other place still do.
    const SourceFingerprint now = session.sourceFingerprint();
    const bool same =
        fingerprint.samples.empty()
            ? now.sectors == fingerprint.sectors &&
                  (firstPageSha256.empty() || session.sourceFirstPageSha256() == firstPageSha256)
            : now.matches(fingerprint);
    if (!same) {
        complain(
            "the source is not the one the stopped scan was made of (its size or what it holds "
            "at its start or further on differs); give the source it was made of");
        return false;
    }
    if (directIo) session.readSourceDirectly(true);
    // The source choice filled the settings; the scan goes on with the ones it ran with.
    session.settings() = settings;
    if (fragments) {
        if (!session.useFragments(*fragments)) return false;
    } else if (!session.openScan(scanInfo, std::nullopt)) {
        return false;
    }
    session.setSplitHeads(splitHeads);
    session.scanMemo() = memo;
    session.setScanId(scanId);
    adoptSums(session, scanInfo);
    session.resumeScanAt(position);
    if (position.cursor >= settings.endSector)
        note("the scan had finished: its {} fragments are taken as they are",
             session.fragments().size());
    else
        note("going on with the scan from sector {} of {}, with the {} fragments found before it",
             position.cursor, settings.endSector, session.fragments().size());
    return true;
}

void ResumeFile::lendEvidence(RecoverySession& session, const std::string& scanInfo) const {
    if (!fragments || fragments->size() != session.fragments().size()) return;
    for (std::size_t i = 0; i < fragments->size(); ++i)
        if ((*fragments)[i].text() != session.fragments()[i].text()) return;
    if (fingerprint.samples.empty() || !session.sourceFingerprint().matches(fingerprint)) return;
    // Free space only means nothing without the file system's map of it, read again here.
    session.settings().freeSpaceOnly = settings.freeSpaceOnly && session.buildFreeSpaceMap() == 0;
    session.setSplitHeads(splitHeads);
    adoptSums(session, scanInfo);
}

void ResumeFile::adoptSums(RecoverySession& session, const std::string& scanInfo) const {
    if (!sumsKept) return;
    const std::string path = sumsPathFor(scanInfo);
    if (!session.adoptSectorSums({path, sumsFileId, sumsCovered}, scanId))
        note(
            "{} is missing, or not the one this scan kept: the split-page search reads the "
            "source again where it needs to",
            path);
}

}  // namespace mdf::cli
