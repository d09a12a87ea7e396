#include "cli/exit_codes.h"

#include <filesystem>

namespace mdf::cli {

bool outputsAllowed(const std::vector<std::string>& outputs, const OutputGuard& guard, bool force) {
    for (const std::string& path : outputs) {
        if (path.empty()) continue;
        if (std::string why = guard.refusal(path); !why.empty()) {
            complain("{}", why);
            return false;
        }
        std::error_code ec;
        if (!force && std::filesystem::exists(path, ec)) {
            complain("{} exists; it is kept (use --force to replace it)", path);
            return false;
        }
    }
    return true;
}

}  // namespace mdf::cli
