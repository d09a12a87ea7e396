#pragma once

#include <CLI/CLI.hpp>
#include <optional>

#include "session/recovery_session.h"

namespace mdf::cli {

// The scan settings a command may override; what is not given keeps what the source choice set.
struct ScanOptions {
    std::optional<std::int64_t> start, end, stride, maxStartPage;
    std::uint16_t fileId = 1;
    bool freeSpaceOnly = false;
    bool directIo = false;

    void addTo(CLI::App& command);
    // Whether any setting was given: a resumed scan goes on with the settings it began with.
    bool anyGiven() const;
    // False (after saying why) when the range makes no sense for this source.
    bool applyTo(RecoverySession& session) const;
};

}  // namespace mdf::cli
