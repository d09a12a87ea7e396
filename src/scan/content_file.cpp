#include "scan/content_file.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "scan/rounding.h"
#include "source/byte_order.h"
#include "source/json_numbers.h"

namespace mdf {
namespace {

// The record ends in its length and this tag, just before the trailer.
constexpr char kRecordTag[8] = {'M', 'D', 'F', 'R', 'R', 'E', 'C', '1'};
constexpr std::size_t kRecordTailBytes = 8 + sizeof kRecordTag;
// A record of millions of unreadable ranges is a few hundred MiB; more is no record.
constexpr std::uint64_t kLongestRecord = std::uint64_t{1} << 30;

std::optional<ContentRecord> parseRecord(const std::string& text) {
    try {
        const auto j = nlohmann::json::parse(text);
        ContentRecord r;
        r.madeFrom = j.at("made_from").get<std::string>();
        r.sourceSectors = jsonInteger<std::int64_t>(j.at("source_sectors"));
        r.scanId = j.at("scan_id").get<std::string>();
        for (const auto& range : j.at("unreadable")) {
            const auto first = jsonInteger<std::int64_t>(range.at(0));
            const auto count = jsonInteger<std::int64_t>(range.at(1));
            if (first < 0 || count <= 0 || count > INT64_MAX - first) return std::nullopt;
            r.unreadable.push_back({first, count});
        }
        std::sort(r.unreadable.begin(), r.unreadable.end(),
                  [](const SectorRange& a, const SectorRange& b) { return a.first < b.first; });
        // Overlapping ranges are merged, so that a lookup needs to look at one neighbour only.
        std::vector<SectorRange> merged;
        for (const SectorRange& range : r.unreadable) {
            if (!merged.empty() && range.first <= merged.back().end())
                merged.back().count =
                    std::max(merged.back().end(), range.end()) - merged.back().first;
            else
                merged.push_back(range);
        }
        r.unreadable = std::move(merged);
        return r;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::vector<std::uint8_t> contentRecordBytes(const ContentRecord& record) {
    nlohmann::json unreadable = nlohmann::json::array();
    for (const SectorRange& r : record.unreadable)
        unreadable.push_back({r.first, r.count});
    const std::string text = nlohmann::json{
        {"made_from", record.madeFrom},
        {"source_sectors", record.sourceSectors},
        {"scan_id", record.scanId},
        {"unreadable",
         unreadable}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.resize(text.size() + kRecordTailBytes);
    storeU64(bytes.data() + text.size(), text.size());
    std::copy(std::begin(kRecordTag), std::end(kRecordTag), bytes.begin() + text.size() + 8);
    return bytes;
}

void scramblePage(PageBytes page, std::uint32_t seed) {
    for (std::size_t i = 0; i < page.size(); i += 4)
        storeU32(&page[i], rotateRight32(loadU32(&page[i]), 1) ^ seed);
}

void unscramblePage(PageBytes page, std::uint32_t seed) {
    for (std::size_t i = 0; i < page.size(); i += 4)
        storeU32(&page[i], rotateLeft32(loadU32(&page[i]) ^ seed, 1));
}

std::array<std::uint8_t, kContentTrailerBytes> contentTrailer(std::uint32_t seed,
                                                              std::uint16_t sectorsPerCluster) {
    std::array<std::uint8_t, kContentTrailerBytes> t{};
    storeU32(t.data(), rotateRight32(seed, 3));
    storeU16(t.data() + 4, sectorsPerCluster);
    return t;
}

void ContentFile::close() {
    file_.close();
    seed_ = 0;
    trailerSpc_.reset();
    record_.reset();
    blockOffset_.clear();
    indexedRevision_ = ~std::uint64_t{0};
    indexedList_ = nullptr;
    ++generation_;
}

bool ContentFile::open(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    file_ = std::move(file);
    ++generation_;
    seed_ = 0;
    trailerSpc_.reset();
    indexedList_ = nullptr;
    file_.seekg(0, std::ios::end);
    const std::int64_t size = file_.tellg();
    if (size >= static_cast<std::int64_t>(kContentTrailerBytes)) {
        std::array<std::uint8_t, kContentTrailerBytes> t{};
        file_.seekg(size - static_cast<std::int64_t>(kContentTrailerBytes));
        file_.read(reinterpret_cast<char*>(t.data()), t.size());
        seed_ = rotateLeft32(loadU32(t.data()), 3);
        trailerSpc_ = loadI16(t.data() + 4);
    }
    record_.reset();
    const std::int64_t tailAt =
        size - static_cast<std::int64_t>(kContentTrailerBytes + kRecordTailBytes);
    if (tailAt >= 0) {
        std::array<std::uint8_t, kRecordTailBytes> tail{};
        file_.seekg(tailAt);
        file_.read(reinterpret_cast<char*>(tail.data()), tail.size());
        const std::uint64_t length = loadU64(tail.data());
        if (file_.gcount() == static_cast<std::streamsize>(tail.size()) &&
            std::equal(std::begin(kRecordTag), std::end(kRecordTag), tail.begin() + 8) &&
            length <= kLongestRecord && length <= static_cast<std::uint64_t>(tailAt)) {
            std::string text(length, '\0');
            file_.seekg(tailAt - static_cast<std::int64_t>(length));
            file_.read(text.data(), static_cast<std::streamsize>(length));
            if (file_.gcount() == static_cast<std::streamsize>(length)) record_ = parseRecord(text);
        }
    }
    file_.clear();
    return true;
}

void ContentFile::indexBlocks(const FragmentList& list) {
    blockOffset_.clear();
    std::int64_t pos = 0;
    for (const FragmentRecord& r : list) {
        blockOffset_.try_emplace(r.fsec, pos);
        pos += kContentPrefixBytes + std::int64_t{r.pages()} * 8192;
    }
    indexedList_ = &list;
    indexedRevision_ = list.revision();
}

bool ContentFile::readContentSectors(const FragmentList& list, std::int32_t offset,
                                     std::int32_t count, void* buffer, std::int64_t firstSector) {
    if (!isOpen() || count < 0) return false;
    if (indexedList_ != &list || indexedRevision_ != list.revision()) indexBlocks(list);
    auto block = blockOffset_.find(firstSector);
    if (block == blockOffset_.end()) return false;
    const std::int64_t pos = block->second + kContentPrefixBytes + std::int64_t{offset} * 512;
    const std::int64_t bytes = std::int64_t{count} * 512;
    if (pos < 0) return false;
    if (record_ && !record_->unreadable.empty()) {
        // Zeros that stand for sectors the saving could not read are no page.
        const std::int64_t first = firstSector + offset, end = first + count;
        const auto& marks = record_->unreadable;
        auto after =
            std::upper_bound(marks.begin(), marks.end(), first,
                             [](std::int64_t s, const SectorRange& r) { return s < r.first; });
        if (after != marks.begin() && std::prev(after)->end() > first) return false;
        if (after != marks.end() && after->first < end) return false;
    }
    file_.clear();
    file_.seekg(pos);
    file_.read(static_cast<char*>(buffer), bytes);
    if (file_.gcount() != bytes) return false;
    if (count == 16) unscramblePage(PageBytes(static_cast<std::uint8_t*>(buffer), 8192), seed_);
    return true;
}

}  // namespace mdf
