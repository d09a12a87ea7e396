#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "assembly/file_verdict.h"

namespace mdf {

// Page ids as runs of consecutive ids, [first, last] each.
std::vector<std::pair<std::int32_t, std::int32_t>> pageRanges(const std::vector<std::int32_t>& ids);
// "12-14 20 31-33", the first `most` runs, then " ..." when there are more.
std::string rangesText(const std::vector<std::int32_t>& ids, std::size_t most = 10);

// The verdict in full, for OUT.report.json and --json: every list whole, as ranges.
nlohmann::json verdictJson(const Verdict& verdict);

// The verdict as a person reads it after a recovery or a verify: the judgement first, then the
// count and the first pages of every list. The window shows each phrase in Chinese with its
// English in brackets; a terminal set to English shows the English alone.
enum class VerdictWords { Both, English };
std::vector<std::string> verdictLines(const Verdict& verdict,
                                      VerdictWords language = VerdictWords::Both);

}  // namespace mdf
