#pragma once

// A content file taken apart here on its own, from the tag and length that end its record: the
// blocks and the six-byte trailer every reader knows, and the record between them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace mdf::test {

struct ContentParts {
    std::vector<std::uint8_t> blocks;
    nlohmann::json record;  // null when the file has none
    std::vector<std::uint8_t> trailer;
    // The whole file without its record: what an older version would have written.
    std::vector<std::uint8_t> withoutRecord() const {
        std::vector<std::uint8_t> bytes = blocks;
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        return bytes;
    }
};

inline ContentParts splitContent(const std::vector<std::uint8_t>& file) {
    ContentParts parts;
    if (file.size() < 6) return parts;
    parts.trailer.assign(file.end() - 6, file.end());
    std::size_t blocksEnd = file.size() - 6;
    if (blocksEnd >= 16 && std::memcmp(&file[blocksEnd - 8], "MDFRREC1", 8) == 0) {
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i)
            length = length << 8 | file[blocksEnd - 16 + static_cast<std::size_t>(i)];
        if (length <= blocksEnd - 16) {
            const auto text = file.begin() + static_cast<std::ptrdiff_t>(blocksEnd - 16 - length);
            parts.record = nlohmann::json::parse(text, text + static_cast<std::ptrdiff_t>(length));
            blocksEnd -= 16 + length;
        }
    }
    parts.blocks.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(blocksEnd));
    return parts;
}

}  // namespace mdf::test
