#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace mdf::cli {

// The line a terminal shows while a scan runs: the position, how fast the source is read, what
// was found, and how long is left. The rate is measured from the first position seen, at the
// time it was seen: a resumed scan skips what an earlier one did, and counting that would
// promise a time that never comes.
class ScanGauge {
  public:
    using Clock = std::chrono::steady_clock;
    explicit ScanGauge(std::int64_t endSector);

    // Empty until the scan has examined its first position; without a rate until the second.
    std::string line(std::int64_t reached, std::size_t fragments, Clock::time_point now);

  private:
    struct Sample {
        std::int64_t sector;
        Clock::time_point time;
    };
    std::int64_t end_;
    std::optional<Sample> first_;
};

}  // namespace mdf::cli
