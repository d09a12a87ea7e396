#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace mdf {

inline std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The whole text as a decimal integer, or nothing (boxes the user typed into, fields of records).
// Blanks around it are no part of it: "1 " typed in a box is 1.
inline std::optional<std::int64_t> parseInteger(std::string_view text) {
    text = trimBlanks(text);
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || text.empty() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace mdf
