#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scan/fragment_list.h"
#include "scan/scan_engine.h"
#include "scan/sector_sums.h"
#include "session/recovery_session.h"

namespace mdf {

// What a scan knew beyond its fragments, kept beside a scan-info file saved by the window as
// SCANINFO.evidence: the sector sums of what it read (a copy in SCANINFO.sums) and, where the list
// is that scan's own, the split pages it met in free space. Opened
// again over the same source, the scan then needs no second pass for split pages. The scan-info
// file stays exactly what every other version reads; this file only adds to it.
struct ScanEvidence {
    std::string scanId;           // the id the sums file carries in its header
    std::string fragmentsSha256;  // of the list it goes with (fragmentsDigest)
    SourceFingerprint fingerprint;
    bool listOfThisScan = false;  // the split heads are known only then
    std::vector<SplitHead> splitHeads;
    std::optional<SectorSums::Kept> sums;  // its path is not kept: always SCANINFO.sums

    static std::string pathFor(const std::string& scanInfo) { return scanInfo + ".evidence"; }
    static std::string sumsPathFor(const std::string& scanInfo) { return scanInfo + ".sums"; }

    // Empty on success; otherwise why the file could not be written.
    std::string save(const std::string& path, const OutputGuard& guard) const;
    // Nothing when the file is missing or damaged; the sums' path is that of the scan-info file.
    static std::optional<ScanEvidence> load(const std::string& scanInfo);
};

// SHA-256 of the list's records as text, one a line: which list a kept scan goes with.
std::string fragmentsDigest(const FragmentList& list);

}  // namespace mdf
