#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/source_options.h"
#include "session/recovery_session.h"
#include "session/scan_evidence_file.h"

namespace mdf::cli {

// Where a scan stood (the end, for one that finished) and what it was a scan of, kept beside its
// scan-info file as SCANINFO.resume, so that `--resume SCANINFO` goes on from there. It holds the
// fragments found up to that position itself: it is written alone, at every stop and every few
// seconds while the scan runs, so that a run killed at any moment leaves a position and a list
// that belong together. The scan-info file stays exactly what every other command reads.
struct ResumeFile {
    SourceOptions source;
    bool directIo = false;
    ScanSettings settings;  // as the scan ran with them, after every option was applied
    std::string content;    // the content file the scan writes when it ends, if any
    ScanPosition position;
    std::string memo;
    std::string scanId;  // the same in the record of the scan's content file
    // What the source looked like: a device renamed between runs is fine, other data is not.
    SourceFingerprint fingerprint;
    std::string firstPageSha256;  // of sectors 0 to 15; what older files kept instead
    // The fragments found up to the position; nothing in a file written by an older version,
    // which are then read from the scan-info file.
    std::optional<std::vector<FragmentRecord>> fragments;
    std::vector<SplitHead> splitHeads;  // none in a file written by an older version
    // The scan's sector sums, kept beside the scan-info file, and the sectors they held at the
    // position: none when they were not kept (or by an older version).
    bool sumsKept = false;
    std::string sumsFileId;  // the id the sums file carries: that very file, not one made again
    SectorSums::Ranges sumsCovered;

    static std::string pathFor(const std::string& scanInfo) { return scanInfo + ".resume"; }
    static std::string sumsPathFor(const std::string& scanInfo) {
        return ScanEvidence::sumsPathFor(scanInfo);
    }

    // Takes the settings, the position and the fragments from a session whose scan has ended or
    // is at a checkpoint (on its worker); the fingerprint is taken before the scan, as the
    // source cannot be read while it runs.
    void capture(RecoverySession& session);
    // Empty on success; otherwise why the file could not be written.
    std::string save(const std::string& path, const OutputGuard& guard) const;
    // Nothing (with the reason in error) when the file is missing or damaged.
    static std::optional<ResumeFile> load(const std::string& path, std::string& error);

    // Fills in what a command did not give: the source, its partition and its map.
    void fillIn(SourceOptions& given) const;
    // Whether the content file this resume file names may be written over by the scan that goes
    // on: it does not exist, or it is the content file of this very scan (its record names the
    // same scan; for an older pair without records, its size fits the scan-info file's blocks
    // exactly). False after saying why.
    bool ownsContent(const std::string& scanInfo) const;
    // With the source chosen: checks it is the one the scan was made of, then puts the scan's
    // settings, its fragments and the position into the session. False after saying why.
    bool restore(RecoverySession& session, const std::string& scanInfo) const;
    // For a finished scan opened again from its scan-info file, over the source it was made of:
    // what the scan knew beyond its fragments (it read free space only; the split pages it met
    // there) goes into the session, so that the recovery is the one the scan's own run gives.
    // Nothing happens when the fragments or the source are not this scan's.
    void lendEvidence(RecoverySession& session, const std::string& scanInfo) const;

  private:
    // The sums the scan kept beside SCANINFO, where they are that very file; said when not.
    void adoptSums(RecoverySession& session, const std::string& scanInfo) const;
};

}  // namespace mdf::cli
