#include "cli/exit_codes.h"

#include <filesystem>

namespace mdf::cli {

std::string& lastComplaint() {
    static std::string text;
    return text;
}

std::string& lastResumeCommand() {
    static std::string text;
    return text;
}

std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789-_./:=+,@%") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
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
        case kChooseOne:
            return "ambiguous";
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

bool outputsDistinct(const std::vector<NamedOutput>& outputs) {
    namespace fs = std::filesystem;
    auto same = [](const std::string& a, const std::string& b) {
        std::error_code ec;
        if (fs::absolute(a, ec).lexically_normal() == fs::absolute(b, ec).lexically_normal())
            return true;
        return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
    };
    for (std::size_t i = 0; i < outputs.size(); ++i)
        for (std::size_t j = i + 1; j < outputs.size(); ++j) {
            const NamedOutput &a = outputs[i], &b = outputs[j];
            if (a.path.empty() || b.path.empty() || !same(a.path, b.path)) continue;
            complain("{} and {} cannot be the same file ({}); give each its own name", a.what,
                     b.what, b.path);
            return false;
        }
    return true;
}

}  // namespace mdf::cli
