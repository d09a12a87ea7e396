#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace mdf::cli {

// The line a terminal shows while a scan runs: the position, how fast the source is read, what
// was found, and how long is left. The rate counts only what this run read: a resumed scan
// skips what an earlier one did, and counting that would promise a time that never comes.
class ScanGauge {
  public:
    using Clock = std::chrono::steady_clock;
    ScanGauge(std::int64_t endSector, Clock::time_point started);

    // Empty until the scan has examined its first position.
    std::string line(std::int64_t reached, std::size_t fragments, Clock::time_point now);

  private:
    std::int64_t end_;
    Clock::time_point started_;
    std::optional<std::int64_t> first_;  // the first position this run examined
};

}  // namespace mdf::cli
