#pragma once

#include <cstdint>

#include "report/reporter.h"

namespace mdf {

// The gauge of a long step: told how far the step has got, it passes the percentage on only
// when it changes, so that a loop may tell it at every step at the cost of a division.
class ProgressGauge {
  public:
    explicit ProgressGauge(Reporter& reporter) : reporter_(reporter) {}

    // True when the percentage changed.
    bool show(std::int64_t done, std::int64_t total) {
        const int percent = total > 0 && done < total ? static_cast<int>(done * 100 / total) : 100;
        if (percent == last_) return false;
        last_ = percent;
        reporter_.setProgress(percent);
        return true;
    }

  private:
    Reporter& reporter_;
    int last_ = -1;
};

}  // namespace mdf
