#include "tables/off_row_values.h"

#include <algorithm>
#include <array>

#include "source/byte_order.h"
#include "tables/record.h"

namespace mdf {
namespace {

constexpr int kDeepestLob = 8;
constexpr std::uint8_t kLobData = 3, kLobRoot = 5, kLobInternal = 2;
constexpr std::uint8_t kRowOverflowPointer = 2, kInRowRoot = 4;
constexpr std::size_t kTextPointerBytes = 16, kRootHeadBytes = 12, kRootLinkBytes = 12;
// A value holds at most 2 GB: about 270,000 fragments of 8,040 bytes. A damaged tree whose links
// lead back into itself must not be followed past that.
constexpr std::size_t kMostLobBytes = std::size_t{1} << 31;
constexpr std::size_t kMostLobFragments = 300'000;

using BlobId = std::array<std::uint8_t, 8>;

// A link names a file of the database as well as a page: a page of another file is never read
// from this one, whose page of that number holds something else.
bool inThisFile(const DatabasePages& file, std::uint16_t fileId, std::string& why) {
    if (!file.fileId() || *file.fileId() == fileId) return true;
    why = "its value lies in file " + std::to_string(fileId) + " of the database, not in this one";
    return false;
}

// Appends the bytes of the LOB fragment at (page, slot) and of those it links to. False, with why,
// when a page is missing or fails its checks, a fragment is of a kind not decoded here, or the
// tree leads back into itself or grows past the largest value there can be. blobId: the id the
// pointer gives, which the fragment must carry (a stale pointer leads to another value).
bool readLob(const DatabasePages& file, std::int64_t page, std::size_t slot, int depth,
             const BlobId& blobId, std::set<std::pair<std::int64_t, std::size_t>>& seen,
             std::vector<std::uint8_t>& out, std::string& why) {
    const std::string where = "page " + std::to_string(page) + " slot " + std::to_string(slot);
    if (depth > kDeepestLob || seen.size() >= kMostLobFragments || out.size() > kMostLobBytes) {
        why = "its LOB tree is larger than any value can be";
        return false;
    }
    if (!seen.emplace(page, slot).second) {
        why = "a link of its LOB tree leads back into it (" + where + ")";
        return false;
    }
    Page bytes;
    if (!file.read(page, bytes)) {
        why = "its LOB page " + std::to_string(page) + " is missing or fails its checks";
        return false;
    }
    const ConstPageBytes view(bytes.data(), bytes.size());
    const std::vector<std::uint16_t> slots = slotOffsets(view);
    const std::size_t at = slot < slots.size() ? slots[slot] : 0;
    const std::size_t limit = 8192 - 2 * slots.size();
    const std::size_t length = at >= 96 && at + 14 <= limit ? loadU16(&bytes[at + 2]) : 0;
    if (length < 14 || at + length > limit || ((bytes[at] >> 1) & 7) != 4) {
        why = "no LOB fragment at " + where;
        return false;
    }
    if (!std::equal(blobId.begin(), blobId.end(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + 4))) {
        why = "the LOB fragment at " + where + " is another value's";
        return false;
    }
    const std::uint16_t kind = loadU16(&bytes[at + 12]);
    if (kind == kLobData) {
        out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 14),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        return true;
    }
    // A root's links are 12 bytes from offset 24 (a 4-byte size, then the fragment's address); an
    // inner node's 16 bytes from offset 20 (an 8-byte offset, then the address).
    const bool root = kind == kLobRoot;
    const std::size_t first = root ? 24 : 20, step = root ? 12 : 16, address = root ? 4 : 8;
    if ((!root && kind != kLobInternal) || length < first) {
        why = "LOB fragment kind " + std::to_string(kind) + " at " + where + " is not decoded";
        return false;
    }
    const std::size_t links = loadU16(&bytes[at + 16]);
    if (first + links * step > length) {
        why = "the LOB fragment at " + where + " has more links than it holds";
        return false;
    }
    for (std::size_t k = 0; k < links; ++k) {
        const std::uint8_t* link = &bytes[at + first + k * step + address];
        if (!inThisFile(file, loadU16(link + 4), why) ||
            !readLob(file, loadU32(link), loadU16(link + 6), depth + 1, blobId, seen, out, why))
            return false;
    }
    return true;
}

}  // namespace

bool OffRowReader::read(std::span<const std::uint8_t> pointer, std::vector<std::uint8_t>& out,
                        std::string& why) {
    out.clear();
    if (pointer.size() == kTextPointerBytes) return readTextPointer(pointer, out, why);
    const bool rootShape = pointer.size() >= kRootHeadBytes + kRootLinkBytes &&
                           (pointer.size() - kRootHeadBytes) % kRootLinkBytes == 0;
    if (rootShape &&
        (pointer[0] == kInRowRoot ||
         (pointer[0] == kRowOverflowPointer && pointer.size() == kRootHeadBytes + kRootLinkBytes)))
        return readInRowRoot(pointer, out, why);
    why = "kept off the row in a form not decoded here (" + std::to_string(pointer.size()) +
          " bytes in the row)";
    return false;
}

bool OffRowReader::readTextPointer(std::span<const std::uint8_t> pointer,
                                   std::vector<std::uint8_t>& out, std::string& why) {
    const std::int64_t page = loadU32(&pointer[8]);
    const std::size_t slot = loadU16(&pointer[14]);
    if (!inThisFile(file_, loadU16(&pointer[12]), why) || metBefore(page, slot, why)) return false;
    BlobId id;
    std::copy_n(pointer.begin(), id.size(), id.begin());
    if (failedBefore({page, slot, id}, why)) return false;
    std::set<std::pair<std::int64_t, std::size_t>> seen;
    if (!readLob(file_, page, slot, 0, id, seen, out, why)) return failed({page, slot, id}, why);
    firstFragments_.emplace(page, slot);
    return true;
}

bool OffRowReader::readInRowRoot(std::span<const std::uint8_t> root, std::vector<std::uint8_t>& out,
                                 std::string& why) {
    // The root keeps a 4-byte timestamp; its fragments carry it in bytes 2-5 of their 8-byte id,
    // the form text pointers give whole.
    BlobId id{};
    std::copy_n(root.begin() + 8, 4, id.begin() + 2);
    const std::size_t links = (root.size() - kRootHeadBytes) / kRootLinkBytes;
    const Fragment first{loadU32(&root[kRootHeadBytes + 4]), loadU16(&root[kRootHeadBytes + 10]),
                         id};
    if (failedBefore(first, why)) return false;
    std::set<std::pair<std::int64_t, std::size_t>> seen;
    for (std::size_t k = 0; k < links; ++k) {
        const std::uint8_t* link = &root[kRootHeadBytes + k * kRootLinkBytes];
        const std::size_t end = loadU32(link);
        const std::int64_t page = loadU32(link + 4);
        const std::size_t slot = loadU16(link + 10);
        if (!inThisFile(file_, loadU16(link + 8), why) || (k == 0 && metBefore(page, slot, why)))
            return false;
        if (end > kMostLobBytes || end < out.size()) {
            why = "its in-row root gives a length of " + std::to_string(end) + " bytes at link " +
                  std::to_string(k + 1) + ", which no value can have there";
            return false;
        }
        if (!readLob(file_, page, slot, 0, id, seen, out, why)) return failed(first, why);
        // Each link says where the value stands after its fragments: a fragment of another
        // length is not this value's, or the root is damaged.
        if (out.size() != end) {
            why = "its fragments up to page " + std::to_string(page) + " hold " +
                  std::to_string(out.size()) + " bytes where its in-row root gives " +
                  std::to_string(end);
            return failed(first, why);
        }
    }
    firstFragments_.emplace(first.page, first.slot);
    return true;
}

// A value that could not be read is not followed again for another row that leads to it with
// the same id (a damaged page can repeat one pointer in every slot): the same reason is given.
// Another id (a live row where a deleted one failed) is read afresh.
bool OffRowReader::failedBefore(const Fragment& first, std::string& why) const {
    const auto it = failures_.find(first);
    if (it == failures_.end()) return false;
    why = it->second;
    return true;
}

bool OffRowReader::failed(const Fragment& first, const std::string& why) {
    constexpr std::size_t kMostRemembered = 100'000;
    if (failures_.size() < kMostRemembered) failures_.emplace(first, why);
    return false;
}

// A value's first fragment is its own: one another row's value already led to is a damaged
// pointer (following it again would cost its whole tree again). Only values read whole count, so
// that a stale pointer (a deleted row's) never takes a live row's value from it.
bool OffRowReader::metBefore(std::int64_t page, std::size_t slot, std::string& why) const {
    if (!firstFragments_.count({page, slot})) return false;
    why = "its LOB root is another row's too (page " + std::to_string(page) + ")";
    return true;
}

}  // namespace mdf
