#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "assembly/verdict_report.h"
#include "session/recovery_session.h"

namespace mdf {

// A recovery as the report beside its output, `--json` and the summaries tell it: the verdict on
// the file as written (status "complete" only when the verdict says so), what was written page by
// page, and what the analysis and the checks found. The verdict alone decides the status.
nlohmann::json recoveryJson(const RecoverySession& session, const RecoveryResult& result,
                            const std::string& output);

// The same for a person: the terminal's summary and the window's fourth tab.
std::vector<std::string> recoveryLines(const RecoverySession& session, const RecoveryResult& result,
                                       const std::string& output,
                                       VerdictWords language = VerdictWords::Both);

}  // namespace mdf
