#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace mdf {

// A whole number from a JSON file the user may have edited: a fraction, a number out of T's range
// or anything that is no number is refused (nlohmann's own conversion casts a huge floating value
// to an integer, which is undefined).
template <typename T>
T jsonInteger(const nlohmann::json& value) {
    if (!value.is_number_integer()) throw std::runtime_error("not a whole number: " + value.dump());
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
            throw std::runtime_error("number out of range: " + value.dump());
        return static_cast<T>(v);
    }
    const auto v = value.get<std::int64_t>();
    if (v < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
        (v > 0 &&
         static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(std::numeric_limits<T>::max())))
        throw std::runtime_error("number out of range: " + value.dump());
    return static_cast<T>(v);
}

// Every whole number of a JSON array, each checked as above.
template <typename T>
std::vector<T> jsonIntegers(const nlohmann::json& array) {
    if (!array.is_array()) throw std::runtime_error("not a list: " + array.dump());
    std::vector<T> out;
    out.reserve(array.size());
    for (const auto& v : array)
        out.push_back(jsonInteger<T>(v));
    return out;
}

}  // namespace mdf
