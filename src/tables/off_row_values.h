#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tables/database_pages.h"

namespace mdf {

// Reads the values a row keeps elsewhere, from what the row holds in their place:
// - a 16-byte text pointer (text, ntext, image, and the (max) types kept out of row), to the root
//   of a tree of LOB fragments;
// - an in-row root of 24 bytes or more (the (max) types), a 12-byte head then links of 12 bytes,
//   each the value's length up to the end of that link's fragments and their address;
// - a row-overflow pointer (variable columns pushed off an overfull row), the same with one link.
// One reader serves one table: a value whose first fragment another row already led to is a
// damaged pointer, and is not followed again.
class OffRowReader {
  public:
    explicit OffRowReader(const DatabasePages& file) : file_(file) {}

    // The value's bytes; false, with why, when its form is not one of these, a fragment is
    // missing or fails its checks or belongs to another value, or the lengths disagree.
    bool read(std::span<const std::uint8_t> pointer, std::vector<std::uint8_t>& out,
              std::string& why);

  private:
    bool readTextPointer(std::span<const std::uint8_t> pointer, std::vector<std::uint8_t>& out,
                         std::string& why);
    bool readInRowRoot(std::span<const std::uint8_t> root, std::vector<std::uint8_t>& out,
                       std::string& why);
    bool metBefore(std::int64_t page, std::size_t slot, std::string& why) const;

    using BlobId = std::array<std::uint8_t, 8>;
    // A value's first fragment and the id its pointer gives.
    struct Fragment {
        std::int64_t page;
        std::size_t slot;
        BlobId id;
        auto operator<=>(const Fragment&) const = default;
    };
    bool failedBefore(const Fragment& first, std::string& why) const;
    bool failed(const Fragment& first, const std::string& why);

    const DatabasePages& file_;
    std::set<std::pair<std::int64_t, std::size_t>> firstFragments_;
    std::map<Fragment, std::string> failures_;
};

}  // namespace mdf
