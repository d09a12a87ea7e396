#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "report/saying.h"

namespace mdf {

// The three log panes of the workflow: the data source and scan, the analysis, the assembly.
enum class Memo { Scan, Analysis, Assembly };

enum class MessageIcon { None, Information, Warning, Error };

// How the core talks to people. The window marshals every call to its own thread in order;
// the command line prints; tests record. Questions are never asked through here: the front
// end asks them and hands the answers to the core.
class Reporter {
  public:
    virtual ~Reporter() = default;

    virtual void logLine(Memo memo, std::string_view line) = 0;
    // A line that ends with the time something happened. The window shows the time right after
    // the words, as its log always has; a terminal puts a blank between them.
    virtual void logTimedLine(Memo memo, std::string_view line, std::string_view time) {
        logLine(memo, std::string(line) + std::string(time));
    }
    virtual void clearLog(Memo memo) = 0;
    virtual void setStatus(std::string_view text) = 0;
    virtual void setProgress(int percent) = 0;
    virtual void showMessage(std::string_view text, std::string_view caption,
                             MessageIcon icon = MessageIcon::None) = 0;
    // The same for what a front end words in its own language; by default in the window's words.
    virtual void say(Memo memo, const Said& said) { logLine(memo, worded(said, Wording::Window)); }
    virtual void sayStatus(const Said& said) { setStatus(worded(said, Wording::Window)); }
    virtual void tell(const Said& said, std::string_view caption,
                      MessageIcon icon = MessageIcon::None) {
        showMessage(worded(said, Wording::Window), caption, icon);
    }
    // Lets a front end that runs long loops on its own thread stay responsive.
    virtual void processEvents() {}
};

// A read that failed, named by where it was, for the log: "read disk error: sector 2368 (page
// 140)"; the page is left out when there is none (pageId < 0).
std::string readErrorLine(std::int64_t sector, std::int64_t pageId = -1);

// Swallows everything; for replays whose output nobody wants to see again.
class SilentReporter : public Reporter {
  public:
    void logLine(Memo, std::string_view) override {}
    void clearLog(Memo) override {}
    void setStatus(std::string_view) override {}
    void setProgress(int) override {}
    void showMessage(std::string_view, std::string_view, MessageIcon) override {}
};

// Keeps every call in order so that tests can assert on the exact texts.
class RecordingReporter : public Reporter {
  public:
    enum class Kind { Log, Clear, Status, Progress, Message, Events };
    struct Event {
        Kind kind;
        Memo memo = Memo::Scan;
        std::string text;
        std::string caption;
        MessageIcon icon = MessageIcon::None;
        int percent = 0;
    };

    void logLine(Memo memo, std::string_view line) override;
    void clearLog(Memo memo) override;
    void setStatus(std::string_view text) override;
    void setProgress(int percent) override;
    void showMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
    void processEvents() override;

    std::vector<Event> events() const;
    // The lines a memo shows now: everything logged since it was last cleared.
    std::vector<std::string> lines(Memo memo) const;
    // Message texts in order, each as "caption: text".
    std::vector<std::string> messages() const;
    std::vector<std::string> statuses() const;
    std::vector<int> progress() const;
    void clear();

  private:
    void record(Event event);

    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

}  // namespace mdf
