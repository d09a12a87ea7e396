#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "session/recovery_session.h"

namespace mdf::cli {

// How a command is told what to read: an image file or a block device, as a whole disk or as
// a partition (--partition), or one partition of its table (--partition=N).
struct SourceOptions {
    std::string path;
    std::optional<int> partition;  // 0: SOURCE itself is a partition; N: partition N of its table
    std::string mapFile;           // a ddrescue map: what it does not list as rescued is unreadable

    // A command that can take its source from a resume file has SOURCE optional.
    void addTo(CLI::App& command, bool sourceRequired = true);
    // Chooses the source in the session as the window's source menu would. False (after telling
    // why on stderr) when the source cannot be used; failure then holds the exit code (an I/O
    // error, or bad input for a partition that is not there or a malformed map file).
    bool choose(RecoverySession& session, int* failure = nullptr) const;
    // The guard of a command's outputs: the source with every file it is made of, and its map.
    // The command adds the files it reads.
    OutputGuard guard(bool allowSourceDevice = false) const;
};

}  // namespace mdf::cli
