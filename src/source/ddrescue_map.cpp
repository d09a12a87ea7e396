#include "source/ddrescue_map.h"

#include <fmt/core.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <memory>
#include <sstream>

namespace mdf {
namespace {

// ddrescue writes positions and sizes in hexadecimal with 0x; it reads them as C does, so
// decimal and octal (a leading 0) count as well.
bool parseNumber(std::string_view word, std::uint64_t& value) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    } else if (word.size() > 1 && word[0] == '0') {
        base = 8;
        word.remove_prefix(1);
    }
    if (word.empty()) return false;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    return error == std::errc() && end == word.data() + word.size();
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r'))
            ++at;
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r')
            ++end;
        if (end > at) out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

class RescueMapFile : public RandomAccessFile {
  public:
    RescueMapFile(std::unique_ptr<RandomAccessFile> inner, std::shared_ptr<const RescueMap> map)
        : inner_(std::move(inner)), map_(std::move(map)) {}

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        if (size > 0 && !map_->isRescued(offset, size)) return -1;
        return inner_->readAt(buffer, size, offset);
    }
    // The map is only read: the handle under it says how it takes reads.
    int readsAtOnce() const override { return inner_->readsAtOnce(); }
    bool readsAhead() const override { return inner_->readsAhead(); }

  private:
    std::unique_ptr<RandomAccessFile> inner_;
    std::shared_ptr<const RescueMap> map_;
};

}  // namespace

bool RescueMap::isRescued(std::uint64_t offset, std::uint64_t size) const {
    if (offset > UINT64_MAX - size) return false;
    const std::uint64_t end = offset + size;
    // The last rescued range starting at or before offset must reach end: ranges are merged,
    // so one range covers the whole read or none does.
    auto it = std::upper_bound(rescued.begin(), rescued.end(), offset,
                               [](std::uint64_t v, const auto& r) { return v < r.first; });
    if (it == rescued.begin()) return false;
    --it;
    return it->first <= offset && end <= it->second;
}

bool parseRescueMap(std::string_view text, RescueMap& map, std::string& problem) {
    map = RescueMap{};
    bool statusSeen = false;
    std::uint64_t previousEnd = 0;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t cut = text.find('\n');
        std::string_view line = text.substr(0, cut);
        text.remove_prefix(cut == std::string_view::npos ? text.size() : cut + 1);
        ++lineNumber;
        auto fail = [&](const std::string& why) {
            problem = fmt::format("line {}: {}", lineNumber, why);
            map = RescueMap{};
            return false;
        };
        const auto hash = line.find('#');
        if (hash != std::string_view::npos) line = line.substr(0, hash);
        const auto w = words(line);
        if (w.empty()) continue;
        if (!statusSeen) {
            // current_pos current_status [current_pass]
            std::uint64_t position = 0, pass = 0;
            if (w.size() < 2 || w.size() > 3 || !parseNumber(w[0], position))
                return fail("expected the status line: current position and status");
            if (w[1].size() != 1 ||
                std::string_view("?*/-FG+").find(w[1][0]) == std::string_view::npos)
                return fail(fmt::format("unknown current status '{}'", w[1]));
            if (w.size() == 3 && (!parseNumber(w[2], pass) || pass < 1))
                return fail(fmt::format("current pass '{}' is not a pass number", w[2]));
            statusSeen = true;
            continue;
        }
        std::uint64_t position = 0, size = 0;
        if (w.size() != 3) return fail("expected position, size and status");
        if (!parseNumber(w[0], position)) return fail(fmt::format("bad position '{}'", w[0]));
        if (!parseNumber(w[1], size)) return fail(fmt::format("bad size '{}'", w[1]));
        if (w[2].size() != 1 || std::string_view("?*/-+").find(w[2][0]) == std::string_view::npos)
            return fail(fmt::format("unknown block status '{}'", w[2]));
        if (size == 0) return fail("block of size 0");
        if (position > UINT64_MAX - size) return fail("block runs past the largest position");
        if (position < previousEnd) return fail("block overlaps or precedes the one before it");
        previousEnd = position + size;
        map.listedEnd = previousEnd;
        if (w[2][0] != '+') continue;
        map.rescuedBytes += size;
        if (!map.rescued.empty() && map.rescued.back().second == position)
            map.rescued.back().second = previousEnd;
        else
            map.rescued.push_back({position, previousEnd});
    }
    if (!statusSeen) {
        problem = fmt::format("line {}: no status line; not a ddrescue map file", lineNumber);
        return false;
    }
    return true;
}

bool loadRescueMap(const std::string& path, RescueMap& map, MapProblem& problem) {
    problem = {};
    // A pipe or a device would be read until its writer stops, which may be never.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        problem = {fmt::format("map file {} is not a regular file", path), true};
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem.text = fmt::format("cannot open map file {}", path);
        return false;
    }
    // A map file lists one line per change of status; even a badly damaged disk's stays far
    // below this, and a larger file is not one.
    constexpr std::streamsize kMaxBytes = std::streamsize{256} << 20;
    std::ostringstream text;
    std::vector<char> chunk(1 << 16);
    std::streamsize total = 0;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        total += in.gcount();
        if (total > kMaxBytes) {
            problem = {fmt::format("map file {} is larger than any ddrescue map", path), true};
            return false;
        }
        text.write(chunk.data(), in.gcount());
    }
    // A read that failed (a directory, a bad sector under the map file) is not the end of the
    // text: parsing what came before it would blame the map for the disk.
    if (in.bad()) {
        problem.text = fmt::format("cannot read map file {}", path);
        return false;
    }
    std::string why;
    if (!parseRescueMap(text.str(), map, why)) {
        problem = {fmt::format("map file {}: {}", path, why), true};
        return false;
    }
    return true;
}

FileOpener openerWithRescueMap(FileOpener inner, RescueMap map) {
    auto shared = std::make_shared<const RescueMap>(std::move(map));
    return [inner = std::move(inner),
            shared](const std::string& path) -> std::unique_ptr<RandomAccessFile> {
        auto file = inner(path);
        if (!file) return nullptr;
        return std::make_unique<RescueMapFile>(std::move(file), shared);
    };
}

}  // namespace mdf
