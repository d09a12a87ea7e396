#include "cli/scan_gauge.h"

#include <fmt/core.h>

namespace mdf::cli {

ScanGauge::ScanGauge(std::int64_t endSector) : end_(endSector) {}

namespace {

std::string duration(double seconds) {
    const auto s = static_cast<std::int64_t>(seconds + 0.5);
    if (s >= 3600) return fmt::format("{} h {:02} min", s / 3600, s % 3600 / 60);
    if (s >= 60) return fmt::format("{} min {:02} s", s / 60, s % 60);
    return fmt::format("{} s", s);
}

}  // namespace

std::string ScanGauge::line(std::int64_t reached, std::size_t fragments, Clock::time_point now) {
    if (reached < 0) return {};
    if (!first_) first_ = Sample{reached, now};
    const double seconds = std::chrono::duration<double>(now - first_->time).count();
    const double bytes = static_cast<double>(reached - first_->sector) * 512.0;
    const double rate = seconds > 0 ? bytes / seconds : 0;  // bytes per second
    std::string text = fmt::format("sector {} of {}", reached, end_);
    if (end_ > 0)
        text += fmt::format(" ({:.1f} %)",
                            100.0 * static_cast<double>(reached) / static_cast<double>(end_));
    if (seconds > 0) text += fmt::format("  {:.1f} MB/s", rate / 1e6);
    text += fmt::format("  {} fragment{}", fragments, fragments == 1 ? "" : "s");
    // A time is only guessed once there is a rate to guess it from.
    if (rate > 0 && end_ > reached)
        text += "  " + duration(static_cast<double>(end_ - reached) * 512.0 / rate) + " left";
    return text;
}

}  // namespace mdf::cli
