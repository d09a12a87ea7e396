#pragma once

#include <optional>
#include <string>

#include "cli/source_options.h"
#include "session/recovery_session.h"

namespace mdf::cli {

// Where a scan stood (the end, for one that finished) and what it was a scan of, kept beside its
// scan-info file as SCANINFO.resume, so that `--resume SCANINFO` goes on from there. The scan-info
// file itself stays exactly what every other command reads; this small JSON file is all that is
// added.
struct ResumeFile {
    SourceOptions source;
    bool directIo = false;
    ScanSettings settings;  // as the scan ran with them, after every option was applied
    std::string content;    // the content file the scan writes when it ends, if any
    ScanPosition position;
    std::string memo;
    // What the source looked like: a device renamed between runs is fine, other data is not.
    std::int64_t sourceSectors = 0;
    std::string firstPageSha256;

    static std::string pathFor(const std::string& scanInfo) { return scanInfo + ".resume"; }

    // Takes the settings, the position and the source's fingerprint from a session whose scan
    // has ended.
    void capture(RecoverySession& session);
    // Empty on success; otherwise why the file could not be written.
    std::string save(const std::string& path, const OutputGuard& guard) const;
    // Nothing (with the reason in error) when the file is missing or damaged.
    static std::optional<ResumeFile> load(const std::string& path, std::string& error);

    // Fills in what a command did not give: the source, its partition and its map.
    void fillIn(SourceOptions& given) const;
    // With the source chosen: checks it is the one the scan was made of, then puts the scan's
    // settings, the fragments of scanInfo and the position into the session. False after saying
    // why.
    bool restore(RecoverySession& session, const std::string& scanInfo) const;
};

}  // namespace mdf::cli
