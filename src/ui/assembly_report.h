#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "assembly/mdf_writer.h"
#include "assembly/search_more.h"

namespace mdf::ui {

// What the window says after CREATE MDF: the pages as their own protection judged them, what the
// last CHECK found missing, the file's hash, and a verdict that never calls a partial file whole.
struct AssemblyReport {
    std::vector<std::string> lines;  // for the assembly log
    bool complete = false;
    std::string warning;  // for a message box when the file is not complete
};

AssemblyReport assemblyReport(const AssemblyOutcome& outcome,
                              const std::optional<MissingPageReport>& lastCheck,
                              const std::set<std::int32_t>& unreadableInAnalysis);

}  // namespace mdf::ui
