#include "testworld/page_builder.h"

#include <cstring>
#include <stdexcept>

#include "source/byte_order.h"

namespace mdf::test {

std::uint32_t testWorldChecksum(std::span<const std::uint8_t, 8192> page) {
    std::uint32_t sum = 0;
    for (int sector = 0; sector < 16; ++sector) {
        std::uint32_t x = 0;
        for (int word = 0; word < 128; ++word) {
            const std::size_t at = static_cast<std::size_t>(sector * 512 + word * 4);
            if (at == 60) continue;
            x ^= std::uint32_t{page[at]} | std::uint32_t{page[at + 1]} << 8 |
                 std::uint32_t{page[at + 2]} << 16 | std::uint32_t{page[at + 3]} << 24;
        }
        const int turn = 15 - sector;
        sum ^= turn == 0 ? x : (x << turn | x >> (32 - turn));
    }
    return sum;
}

PageBuilder PageBuilder::dataPage(std::int32_t pageId, std::uint16_t fileId, std::uint8_t type,
                                  std::int32_t objectId) {
    PageBuilder b;
    b.set8(0, 1).set8(1, type).set8(2, type == 1 ? 4 : 0).set8(3, 0);
    b.set16(28, kMaxRecordSpace).set16(30, 96);
    b.setPageId(pageId).set16(36, fileId).setObjectId(objectId);
    return b;
}

PageBuilder PageBuilder::fileHeaderPage(std::uint16_t fileId, std::int32_t pageCount) {
    PageBuilder b = dataPage(0, fileId, 15, 99);
    b.set8(2, 0).set8(4, 8);
    // Its one row: a fixed part holding the page count, then no columns null and none of
    // variable length, as the row's own header says.
    std::vector<std::uint8_t> record(200, 0);
    record[0] = 0x30;
    storeU16(&record[2], static_cast<std::uint16_t>(record.size() - 4));
    for (std::size_t i = 4; i < kPageCountOffset; ++i)
        record[i] = static_cast<std::uint8_t>(i * 7 % 200);
    storeU32(&record[kPageCountOffset], static_cast<std::uint32_t>(pageCount));
    storeU32(&record[kPageCountOffset + 4], 0xFFFFFFFFu);
    b.addRecord(record);
    return b;
}

PageBuilder PageBuilder::pfsPage(std::int32_t pageId, std::uint16_t fileId) {
    PageBuilder b = dataPage(pageId, fileId, 11, 99);
    b.set8(2, 0);
    b.addRecordOfLength(8092);
    return b;
}

PageBuilder PageBuilder::iamPage(std::int32_t pageId, std::int32_t objectId, std::uint16_t fileId) {
    PageBuilder b = dataPage(pageId, fileId, 10, objectId);
    b.set8(2, 0);
    return b;
}

PageBuilder PageBuilder::iamPageWith(std::int32_t pageId, std::int32_t objectId, std::int32_t start,
                                     const std::vector<std::int32_t>& singlePages,
                                     const std::vector<std::int32_t>& extentFirstPages) {
    PageBuilder b = iamPage(pageId, objectId);
    std::vector<std::uint8_t> header(94, 0);
    storeU16(&header[2], 94);
    storeU32(&header[40], static_cast<std::uint32_t>(start));
    storeU16(&header[44], 1);
    for (std::size_t k = 0; k < singlePages.size() && k < 8; ++k) {
        storeU32(&header[46 + 6 * k], static_cast<std::uint32_t>(singlePages[k]));
        storeU16(&header[50 + 6 * k], 1);
    }
    b.addRecord(header);
    std::vector<std::uint8_t> bitmap(4 + 64, 0);
    storeU16(&bitmap[2], static_cast<std::uint16_t>(bitmap.size()));
    for (std::int32_t first : extentFirstPages) {
        const std::int32_t extent = (first - start) / 8;
        bitmap.at(4 + static_cast<std::size_t>(extent / 8)) |=
            static_cast<std::uint8_t>(1u << (extent % 8));
    }
    b.addRecord(bitmap);
    return b;
}

PageBuilder& PageBuilder::set8(std::size_t offset, std::uint8_t value) {
    page_.at(offset) = value;
    return *this;
}

PageBuilder& PageBuilder::set16(std::size_t offset, std::uint16_t value) {
    if (offset + 2 > page_.size()) throw std::out_of_range("set16 past the page");
    storeU16(&page_[offset], value);
    return *this;
}

PageBuilder& PageBuilder::set32(std::size_t offset, std::uint32_t value) {
    if (offset + 4 > page_.size()) throw std::out_of_range("set32 past the page");
    storeU32(&page_[offset], value);
    return *this;
}

PageBuilder& PageBuilder::setPrevious(std::int32_t pageId, std::uint16_t fileId) {
    return set32(8, static_cast<std::uint32_t>(pageId)).set16(12, fileId);
}

PageBuilder& PageBuilder::setNext(std::int32_t pageId, std::uint16_t fileId) {
    return set32(16, static_cast<std::uint32_t>(pageId)).set16(20, fileId);
}

PageBuilder& PageBuilder::setLogSequence(std::uint32_t file, std::uint32_t offset,
                                         std::uint16_t slot) {
    return set32(40, file).set32(44, offset).set16(48, slot);
}

std::uint16_t PageBuilder::addRecord(std::span<const std::uint8_t> bytes) {
    std::uint16_t slots = loadU16(&page_[22]);
    std::uint16_t at = loadU16(&page_[30]);
    std::size_t slotArrayStart = 8192 - 2u * (slots + 1u);
    if (at + bytes.size() > slotArrayStart) throw std::length_error("record does not fit the page");
    std::memcpy(&page_[at], bytes.data(), bytes.size());
    storeU16(&page_[slotArrayStart], at);
    set16(22, static_cast<std::uint16_t>(slots + 1));
    set16(30, static_cast<std::uint16_t>(at + bytes.size()));
    set16(28, static_cast<std::uint16_t>(slotArrayStart - (at + bytes.size())));
    return at;
}

PageBuilder& PageBuilder::addFileNameRecord(const std::string& logicalName,
                                            const std::string& physicalPath) {
    std::vector<std::uint8_t> record = {0x10, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
    auto appendPadded = [&](const std::string& text, std::size_t chars) {
        for (std::size_t i = 0; i < chars; ++i) {
            record.push_back(static_cast<std::uint8_t>(i < text.size() ? text[i] : ' '));
            record.push_back(0);
        }
    };
    appendPadded(logicalName, 128);
    appendPadded(physicalPath, 260);
    // The names are the row's fixed part; then its column count and null bitmap.
    storeU16(&record[2], static_cast<std::uint16_t>(record.size()));
    record.insert(record.end(), {2, 0, 0});
    addRecord(record);
    return *this;
}

std::uint16_t PageBuilder::addRecordOfLength(std::uint16_t length, std::uint8_t statusByte) {
    std::vector<std::uint8_t> record(length, 0);
    record[0] = statusByte;
    storeU16(&record[2], length);
    return addRecord(record);
}

PageBuilder& PageBuilder::protectWithChecksum() {
    page_[5] = static_cast<std::uint8_t>((page_[5] & 0xF0) | 2);
    return set32(60, testWorldChecksum(page_));
}

PageBuilder& PageBuilder::protectWithTornBits(std::uint8_t s) {
    page_[5] = static_cast<std::uint8_t>((page_[5] & 0xF0) | 1);
    std::uint32_t bits = s & 3u;
    for (int k = 1; k <= 15; ++k) {
        std::uint8_t& last = page_[static_cast<std::size_t>(512 * k + 511)];
        bits |= static_cast<std::uint32_t>(last & 3) << (2 * k);
        last = static_cast<std::uint8_t>((last & 0xFC) | (s & 3));
    }
    return set32(60, bits);
}

}  // namespace mdf::test
