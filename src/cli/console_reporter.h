#pragma once

#include <cstdio>
#include <mutex>

#include "report/reporter.h"

namespace mdf::cli {

// Prints log lines on stdout as they come, message boxes on stderr as "caption: text", and
// draws progress as a one-line bar on stderr.
class ConsoleReporter : public Reporter {
  public:
    explicit ConsoleReporter(bool showProgress = true, bool quiet = false);
    ~ConsoleReporter() override;

    void logLine(Memo memo, std::string_view line) override;
    void logTimedLine(Memo memo, std::string_view line, std::string_view time) override;
    void clearLog(Memo) override {}
    void setStatus(std::string_view text) override;
    void setProgress(int percent) override;
    void showMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
    void say(Memo memo, const Said& said) override;
    void sayStatus(const Said& said) override;
    void tell(const Said& said, std::string_view caption, MessageIcon icon) override;

    // Sends log lines to stderr instead, so that stdout carries only machine output.
    void logToStderr(bool on) { logStream_ = on ? stderr : stdout; }
    void finishProgress();
    // Leaves out the confirmations of steps (Saying::Success after the scan is kept): the
    // command's own summary at its end says how the job went.
    void holdConfirmations(bool on) { holdConfirmations_ = on; }
    // True when progress is drawn at all: stderr is a terminal and -q was not given.
    bool drawsProgress() const { return showProgress_ && !quiet_; }
    // Draws a line of its own in place of the bar, which then stays away until finishProgress.
    void showProgressLine(std::string_view text);

  private:
    void eraseBarLocked();

    std::mutex mutex_;
    bool showProgress_;
    bool quiet_;
    bool holdConfirmations_ = false;
    bool barShown_ = false;
    bool lineOwnsBar_ = false;
    int lastPercent_ = -1;
    std::FILE* logStream_ = stdout;
};

}  // namespace mdf::cli
