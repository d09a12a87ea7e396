#pragma once

#include <fmt/core.h>

#include <string>
#include <vector>

#include "source/output_file.h"

namespace mdf::cli {

// The same for every subcommand, and documented in the user guide.
enum Exit : int {
    kComplete = 0,      // the job was done and nothing is missing
    kPartial = 1,       // a result, with pages missing, unreadable or failing verification
    kNothingFound = 2,  // no database file, or no fragment, was found
    kBadInput = 3,      // bad usage, a damaged input file, an output that may not be written
    kIoError = 4,       // the source or an output could not be read or written
    kInterrupted = 130,
};

// Each group registers its subcommands on the application; the callbacks set the exit code.
struct ExitCode {
    int value = kComplete;
    // Keeps the worse of two outcomes (an interruption or an error outranks a partial result).
    void raise(int code) {
        auto rank = [](int c) { return c == kInterrupted ? 5 : c; };
        if (rank(code) > rank(value)) value = code;
    }
};

// Every message of the command line starts with the program's name.
template <typename... Args>
void complain(fmt::format_string<Args...> format, Args&&... args) {
    fmt::print(stderr, "mdfrecover: {}\n", fmt::format(format, std::forward<Args>(args)...));
}

// Checks every output a command will write before anything is read from the source: the guard's
// rules, and an existing file is kept unless force. False (after saying why) when one is refused.
bool outputsAllowed(const std::vector<std::string>& outputs, const OutputGuard& guard, bool force);

}  // namespace mdf::cli
