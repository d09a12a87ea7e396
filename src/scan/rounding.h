#pragma once

#include <cstdint>

namespace mdf {

// numerator / denominator rounded half to even, the rounding used for every page count and
// percentage computed from a quotient. denominator must be positive.
inline std::int64_t roundHalfEven(std::int64_t numerator, std::int64_t denominator) {
    std::int64_t q = numerator / denominator;
    std::int64_t r = numerator % denominator;
    if (r < 0) {  // floor division
        r += denominator;
        --q;
    }
    std::int64_t twice = 2 * r;
    if (twice > denominator || (twice == denominator && (q & 1) != 0)) ++q;
    return q;
}

}  // namespace mdf
