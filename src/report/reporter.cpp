#include "report/reporter.h"

namespace mdf {

std::string readErrorLine(std::int64_t sector, std::int64_t pageId) {
    std::string line = "read disk error: sector " + std::to_string(sector);
    if (pageId >= 0) line += " (page " + std::to_string(pageId) + ")";
    return line;
}

void RecordingReporter::record(Event event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

void RecordingReporter::logLine(Memo memo, std::string_view line) {
    record({Kind::Log, memo, std::string(line), {}, MessageIcon::None, 0});
}

void RecordingReporter::clearLog(Memo memo) {
    record({Kind::Clear, memo, {}, {}, {}, 0});
}

void RecordingReporter::setStatus(std::string_view text) {
    record({Kind::Status, Memo::Scan, std::string(text), {}, {}, 0});
}

void RecordingReporter::setProgress(int percent) {
    record({Kind::Progress, Memo::Scan, {}, {}, {}, percent});
}

void RecordingReporter::showMessage(std::string_view text, std::string_view caption,
                                    MessageIcon icon) {
    record({Kind::Message, Memo::Scan, std::string(text), std::string(caption), icon, 0});
}

void RecordingReporter::processEvents() {
    record({Kind::Events, Memo::Scan, {}, {}, {}, 0});
}

std::vector<RecordingReporter::Event> RecordingReporter::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> RecordingReporter::lines(Memo memo) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Event& e : events_) {
        if (e.memo != memo) continue;
        if (e.kind == Kind::Clear) out.clear();
        if (e.kind == Kind::Log) out.push_back(e.text);
    }
    return out;
}

std::vector<std::string> RecordingReporter::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Event& e : events_)
        if (e.kind == Kind::Message) out.push_back(e.caption + ": " + e.text);
    return out;
}

std::vector<std::string> RecordingReporter::statuses() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Event& e : events_)
        if (e.kind == Kind::Status) out.push_back(e.text);
    return out;
}

std::vector<int> RecordingReporter::progress() const {
    std::lock_guard lock(mutex_);
    std::vector<int> out;
    for (const Event& e : events_)
        if (e.kind == Kind::Progress) out.push_back(e.percent);
    return out;
}

void RecordingReporter::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

}  // namespace mdf
