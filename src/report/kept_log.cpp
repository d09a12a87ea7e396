#include "report/kept_log.h"

namespace mdf {
namespace {

const char* memoName(Memo memo) {
    switch (memo) {
        case Memo::Scan:
            return "scan";
        case Memo::Analysis:
            return "analysis";
        case Memo::Assembly:
            return "assembly";
    }
    return "";
}

}  // namespace

void KeptLog::keep(std::string line) {
    std::lock_guard lock(mutex_);
    if (head_.size() < kHeadLines) {
        head_.push_back(std::move(line));
        return;
    }
    if (tail_.size() < kTailLines) {
        tail_.push_back(std::move(line));
        return;
    }
    tail_[tailNext_] = std::move(line);
    tailNext_ = (tailNext_ + 1) % kTailLines;
    ++dropped_;
}

void KeptLog::logLine(Memo memo, std::string_view line) {
    keep(std::string(memoName(memo)) + ": " + std::string(line));
    inner_.logLine(memo, line);
}

void KeptLog::logTimedLine(Memo memo, std::string_view line, std::string_view time) {
    keep(std::string(memoName(memo)) + ": " + std::string(line) + " " + std::string(time));
    inner_.logTimedLine(memo, line, time);
}

void KeptLog::showMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
    keep("message: " + std::string(text));
    inner_.showMessage(text, caption, icon);
}

void KeptLog::say(Memo memo, const Said& said) {
    keep(std::string(memoName(memo)) + ": " + worded(said, Wording::Window));
    inner_.say(memo, said);
}

void KeptLog::tell(const Said& said, std::string_view caption, MessageIcon icon) {
    keep("message: " + worded(said, Wording::Window));
    inner_.tell(said, caption, icon);
}

std::vector<std::string> KeptLog::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out = head_;
    if (dropped_ > 0) out.push_back("... " + std::to_string(dropped_) + " lines left out ...");
    for (std::size_t i = 0; i < tail_.size(); ++i)
        out.push_back(tail_[(tailNext_ + i) % tail_.size()]);
    return out;
}

}  // namespace mdf
