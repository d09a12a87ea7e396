#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "report/reporter.h"

namespace mdf {

// Passes everything on to the front end's reporter and keeps the log lines and messages of the
// run in the order they came, so that the run's log can be written beside its output and outlive
// the terminal or the window. A run of millions of lines keeps its first and last ones.
class KeptLog : public Reporter {
  public:
    explicit KeptLog(Reporter& inner) : inner_(inner) {}

    void logLine(Memo memo, std::string_view line) override;
    void logTimedLine(Memo memo, std::string_view line, std::string_view time) override;
    void clearLog(Memo memo) override { inner_.clearLog(memo); }
    void setStatus(std::string_view text) override { inner_.setStatus(text); }
    void setProgress(int percent) override { inner_.setProgress(percent); }
    void showMessage(std::string_view text, std::string_view caption,
                     MessageIcon icon = MessageIcon::None) override;
    void processEvents() override { inner_.processEvents(); }
    // The run's log keeps the window's words; the front end words them its own way.
    void say(Memo memo, const Said& said) override;
    void sayStatus(const Said& said) override { inner_.sayStatus(said); }
    void tell(const Said& said, std::string_view caption, MessageIcon icon) override;

    // Every line kept, in order; where lines were left out, a line saying how many.
    std::vector<std::string> lines() const;

    static constexpr std::size_t kHeadLines = 500'000, kTailLines = 500'000;

  private:
    void keep(std::string line);

    Reporter& inner_;
    mutable std::mutex mutex_;
    std::vector<std::string> head_;
    std::vector<std::string> tail_;  // a ring once full
    std::size_t tailNext_ = 0;
    std::size_t dropped_ = 0;
};

}  // namespace mdf
