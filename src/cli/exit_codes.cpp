#include "cli/exit_codes.h"

#include <filesystem>

namespace mdf::cli {

std::string& lastComplaint() {
    static std::string text;
    return text;
}

const char* statusWord(int exitCode) {
    switch (exitCode) {
        case kComplete:
            return "complete";
        case kPartial:
            return "partial";
        case kNothingFound:
            return "nothing found";
        case kBadInput:
            return "bad input";
        case kIoError:
            return "io error";
        case kInterrupted:
            return "interrupted";
        default:
            return "error";
    }
}

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
