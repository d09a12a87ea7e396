#pragma once

#include <fmt/core.h>

#include <nlohmann/json.hpp>

#include "cli/exit_codes.h"

namespace mdf::cli {

// With --json, a command that ends without its result still prints one object on stdout: its
// status, the error (exit code and message) and, when the choice of database was ambiguous, the
// candidates.
struct JsonOnFailure {
    bool json;
    const ExitCode& exit;
    bool resultPrinted = false;
    nlohmann::json candidates = nlohmann::json::array();
    ~JsonOnFailure() {
        if (!json || resultPrinted) return;
        nlohmann::json out = {{"status", candidates.empty() ? statusWord(exit.value) : "ambiguous"},
                              {"error", {{"exit_code", exit.value}, {"message", lastComplaint()}}}};
        if (!candidates.empty()) out["candidates"] = candidates;
        if (!lastResumeCommand().empty()) out["resume"] = lastResumeCommand();
        fmt::print("{}\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    }
};

}  // namespace mdf::cli
