#pragma once

#include <cstdint>
#include <initializer_list>

namespace mdf::test {

// A small generator whose output depends on nothing but its seed, so that a test world built
// from a seed is the same on every machine and standard library.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    Random(std::initializer_list<std::uint64_t> parts) {
        for (std::uint64_t p : parts)
            state_ = mix(state_ ^ p);
    }

    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        return mix(state_);
    }
    // Uniform in [lo, hi].
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(hi - lo + 1));
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }
    bool chance(int percent) { return between(1, 100) <= percent; }

    static std::uint64_t mix(std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

  private:
    std::uint64_t state_ = 0x853C49E6748FEA9Bull;
};

}  // namespace mdf::test
