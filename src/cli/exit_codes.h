#pragma once

#include <fmt/core.h>

#include <string>
#include <vector>

#include "cli/language.h"
#include "source/output_file.h"

namespace mdf::cli {

// The same for every subcommand, and documented in the user guide.
enum Exit : int {
    kComplete = 0,      // the job was done and nothing is missing
    kPartial = 1,       // a result, with pages missing, unreadable or failing verification
    kNothingFound = 2,  // no database file, or no fragment, was found
    kBadInput = 3,      // bad usage, a damaged input file, an output that may not be written
    kIoError = 4,       // the source or an output could not be read or written
    kChooseOne = 5,     // several database files were found: the run names one to go on
    kInterrupted = 130,
};

// Each group registers its subcommands on the application; the callbacks set the exit code.
struct ExitCode {
    int value = kComplete;
    // Keeps the worse of two outcomes (an interruption or an error outranks a partial result).
    void raise(int code) {
        auto rank = [](int c) { return c == kInterrupted ? 6 : c; };
        if (rank(code) > rank(value)) value = code;
    }
};

// A text of the command line in the language of the run (see localized()).
template <typename... Args>
std::string say(fmt::format_string<Args...> format, Args&&... args) {
    const fmt::string_view english = format;
    return fmt::vformat(localized({english.data(), english.size()}, console().language),
                        fmt::make_format_args(args...));
}

// The last error told, for the error object of --json.
std::string& lastComplaint();
// The command that goes on with a stopped scan, once one was kept; for --json.
std::string& lastResumeCommand();

// A word as a shell reads it back unchanged: as it is when it holds nothing the shell treats
// specially, else in single quotes.
std::string shellWord(const std::string& word);

// The word --json's status field gives for an exit code.
const char* statusWord(int exitCode);

// Every message of the command line starts with the program's name. Errors are always shown.
template <typename... Args>
void complain(fmt::format_string<Args...> format, Args&&... args) {
    lastComplaint() = say(format, std::forward<Args>(args)...);
    fmt::print(stderr, "mdfrecover: {}\n", lastComplaint());
}

// A message that only informs; -q leaves it out.
template <typename... Args>
void note(fmt::format_string<Args...> format, Args&&... args) {
    if (console().verbosity == Verbosity::Quiet) return;
    fmt::print(stderr, "mdfrecover: {}\n", say(format, std::forward<Args>(args)...));
}

// Checks every output a command will write before anything is read from the source: the guard's
// rules, and an existing file is kept unless force. False (after saying why) when one is refused.
bool outputsAllowed(const std::vector<std::string>& outputs, const OutputGuard& guard, bool force);

// One of a command's outputs and what it is ("the MDF file", "the scan-info file").
struct NamedOutput {
    std::string path;
    const char* what;
};
// False (after saying which) when two outputs of one command are one file: the one written last
// would replace the other. Empty paths are left out.
bool outputsDistinct(const std::vector<NamedOutput>& outputs);

}  // namespace mdf::cli
