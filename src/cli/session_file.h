#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/source_options.h"
#include "session/recovery_session.h"

namespace mdf::cli {

// What `analyse` leaves for the commands that come after it (search-more, check, create): which
// scan and source, which file, and what the analysis concluded, as a small JSON file. The page
// map itself is not kept; it is built again by recording the same fragments in the same order.
struct SessionFile {
    std::string scanInfo;
    std::string content;
    std::string source;
    std::optional<int> partition;
    std::string mapFile;  // the ddrescue map the source was read with, if any
    // The source the scan was made of, also when only its content file is read: no output of a
    // later command may replace it.
    std::string madeFrom;
    int file = 0;  // catalogue number, from 1
    std::uint16_t fileId = 1;
    AnalysisSnapshot analysis;

    // Empty on success; otherwise why the file could not be written.
    std::string save(const std::string& path, const OutputGuard& guard) const;
    // What the outputs of a command working on this session must never replace: the source and
    // its files, the map, the scan-info and content files, the source the scan was made of.
    OutputGuard guard(bool allowSourceDevice = false) const;
    static std::optional<SessionFile> load(const std::string& path, std::string& error);

    // Opens the scan and the source into a session and restores the analysis and the combination.
    bool restore(RecoverySession& session) const;
    // Takes what the session concluded.
    void capture(RecoverySession& session);
};

// The source a saved scan was made of, as far as can be told: the source given, else the one its
// resume file or its content file names; empty when none does.
std::string madeFromOf(const std::string& scanInfo, const std::string& given,
                       const RecoverySession& session);

// Opens a saved scan (and its content), and the source it was made of, when one is given.
// On failure, failure holds the exit code: the source's (an unreadable source is an I/O error,
// a malformed map bad input), or bad input for a scan that cannot be opened.
bool openScanAndSource(RecoverySession& session, const std::string& scanInfo,
                       const std::string& content, const SourceOptions& source,
                       int* failure = nullptr);

}  // namespace mdf::cli
