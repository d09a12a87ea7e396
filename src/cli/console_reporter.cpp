#include "cli/console_reporter.h"

#include <fmt/core.h>
#include <unistd.h>

#include "cli/language.h"

namespace mdf::cli {

namespace {

// A terminal set to Chinese reads the system's texts as the window shows them.
Wording wording() {
    return console().language == Language::Chinese ? Wording::Window : Wording::English;
}

}  // namespace

ConsoleReporter::ConsoleReporter(bool showProgress, bool quiet)
    : showProgress_(showProgress && ::isatty(STDERR_FILENO)),
      quiet_(quiet || console().verbosity == Verbosity::Quiet) {}

ConsoleReporter::~ConsoleReporter() {
    finishProgress();
}

void ConsoleReporter::eraseBarLocked() {
    if (!barShown_) return;
    std::fputs("\r\033[K", stderr);
    barShown_ = false;
}

void ConsoleReporter::finishProgress() {
    std::lock_guard lock(mutex_);
    eraseBarLocked();
    lastPercent_ = -1;
    lineOwnsBar_ = false;
}

void ConsoleReporter::showProgressLine(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!drawsProgress() || text.empty()) return;
    lineOwnsBar_ = true;
    fmt::print(stderr, "\r{}\033[K", text);
    std::fflush(stderr);
    barShown_ = true;
}

void ConsoleReporter::logLine(Memo, std::string_view line) {
    std::lock_guard lock(mutex_);
    if (quiet_) return;
    eraseBarLocked();
    fmt::print(logStream_, "{}\n", line);
    std::fflush(logStream_);
}

void ConsoleReporter::logTimedLine(Memo memo, std::string_view line, std::string_view time) {
    logLine(memo, std::string(line) + " " + std::string(time));
}

void ConsoleReporter::setStatus(std::string_view text) {
    if (console().verbosity != Verbosity::Verbose) return;
    std::lock_guard lock(mutex_);
    eraseBarLocked();
    fmt::print(stderr, "mdfrecover: [{}]\n", text);
}

void ConsoleReporter::setProgress(int percent) {
    std::lock_guard lock(mutex_);
    if (!showProgress_ || lineOwnsBar_ || percent == lastPercent_) return;
    lastPercent_ = percent;
    int filled = percent * 40 / 100;
    fmt::print(stderr, "\r[{:<40}] {:3d}%", std::string(static_cast<std::size_t>(filled), '#'),
               percent);
    std::fflush(stderr);
    barShown_ = true;
}

void ConsoleReporter::showMessage(std::string_view text, std::string_view caption, MessageIcon) {
    std::lock_guard lock(mutex_);
    eraseBarLocked();
    // The window's captions ("message", "提示") say nothing on a terminal; the program's name does.
    (void)caption;
    fmt::print(stderr, "mdfrecover: {}\n", text);
}

void ConsoleReporter::say(Memo memo, const Said& said) {
    logLine(memo, worded(said, wording()));
}

void ConsoleReporter::sayStatus(const Said& said) {
    setStatus(worded(said, wording()));
}

void ConsoleReporter::tell(const Said& said, std::string_view caption, MessageIcon icon) {
    if ((quiet_ || holdConfirmations_) && isConfirmation(said.saying)) return;
    showMessage(worded(said, wording()), caption, icon);
}

}  // namespace mdf::cli
