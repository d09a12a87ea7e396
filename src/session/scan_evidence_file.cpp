#include "session/scan_evidence_file.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "assembly/sha256.h"
#include "source/json_numbers.h"
#include "source/output_file.h"

namespace mdf {

std::string fragmentsDigest(const FragmentList& list) {
    Sha256 sha;
    for (const FragmentRecord& r : list) {
        const std::string line = r.text() + "\n";
        sha.update(std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    }
    return sha.finishHex();
}

std::string ScanEvidence::save(const std::string& path, const OutputGuard& guard) const {
    nlohmann::json heads = nlohmann::json::array();
    for (const SplitHead& h : splitHeads)
        heads.push_back({h.sector, h.pageId, h.freeSectors});
    nlohmann::json j = {{"scan_id", scanId},
                        {"fragments_sha256", fragmentsSha256},
                        {"source_sectors", fingerprint.sectors},
                        {"source_samples", fingerprint.samples},
                        {"list_of_this_scan", listOfThisScan},
                        {"split_heads", heads}};
    if (sums) {
        nlohmann::json covered = nlohmann::json::array();
        for (const auto& [first, end] : sums->covered)
            covered.push_back({first, end});
        j["sector_sums"] = {{"id", sums->fileId}, {"covered", covered}};
    }
    OutputFile out(path, guard);
    const std::string text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (out.ok()) out.commit();
    return out.error();
}

std::optional<ScanEvidence> ScanEvidence::load(const std::string& scanInfo) {
    std::ifstream in(pathFor(scanInfo));
    if (!in) return std::nullopt;
    try {
        const auto j = nlohmann::json::parse(in);
        ScanEvidence e;
        e.scanId = j.at("scan_id");
        e.fragmentsSha256 = j.at("fragments_sha256");
        e.fingerprint.sectors = jsonInteger<std::int64_t>(j.at("source_sectors"));
        e.fingerprint.samples = j.at("source_samples").get<std::vector<std::string>>();
        e.listOfThisScan = j.at("list_of_this_scan");
        for (const auto& h : j.at("split_heads"))
            e.splitHeads.push_back({jsonInteger<std::int64_t>(h.at(0)),
                                    jsonInteger<std::int32_t>(h.at(1)),
                                    jsonInteger<std::int32_t>(h.at(2))});
        if (j.contains("sector_sums")) {
            SectorSums::Kept kept{sumsPathFor(scanInfo), j.at("sector_sums").at("id"), {}};
            for (const auto& c : j.at("sector_sums").at("covered"))
                kept.covered.push_back(
                    {jsonInteger<std::int64_t>(c.at(0)), jsonInteger<std::int64_t>(c.at(1))});
            e.sums = std::move(kept);
        }
        // Samples that are none would match any source: such a file is not taken.
        if (e.fingerprint.samples.empty()) return std::nullopt;
        return e;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace mdf
