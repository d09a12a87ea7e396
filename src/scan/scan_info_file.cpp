#include "scan/scan_info_file.h"

#include <fmt/core.h>

#include <fstream>
#include <random>

namespace mdf {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string encodeLine(std::string_view text, std::string_view key, std::uint8_t startValue) {
    std::string out = fmt::format("{:02X}", startValue);
    out.reserve(2 + 2 * text.size());
    unsigned a = startValue;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned c = static_cast<unsigned char>(text[i]);
        const unsigned k = static_cast<unsigned char>(key[i % key.size()]);
        a = ((a + c) % 255) ^ k;
        out += fmt::format("{:02X}", a);
    }
    return out;
}

std::optional<std::string> decodeLine(std::string_view encoded, std::string_view key) {
    if (encoded.size() < 2 || encoded.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(encoded.size() / 2);
    int a = -1;
    for (std::size_t pos = 0; pos < encoded.size(); pos += 2) {
        const int hi = hexValue(encoded[pos]), lo = hexValue(encoded[pos + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        const int b = hi * 16 + lo;
        if (a >= 0) {
            const std::size_t i = pos / 2 - 1;
            const int d = b ^ static_cast<unsigned char>(key[i % key.size()]);
            out += static_cast<char>(a < d ? d - a : d - a + 255);
        }
        a = b;
    }
    return out;
}

std::string writeScanInfo(const std::string& path, const FragmentList& list,
                          std::uint32_t randomSeed, const OutputGuard& guard) {
    OutputFile out(path, guard);
    std::mt19937 random(randomSeed);
    for (const FragmentRecord& r : list) {
        if (!out.ok()) break;
        const std::string line =
            encodeLine(r.text(), kScanInfoKey, static_cast<std::uint8_t>(random() & 0xFF)) + "\r\n";
        out.write(std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    }
    if (out.ok()) out.commit();
    return out.error();
}

ScanInfoContents parseScanInfo(std::string_view text) {
    ScanInfoContents contents;
    int number = 0;
    while (!text.empty()) {
        ++number;
        std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        auto decoded = decodeLine(line, kScanInfoKey);
        std::string why;
        std::optional<FragmentRecord> record;
        if (!decoded)
            why = "it is not hexadecimal text";
        else
            record = FragmentRecord::parse(*decoded, &why);
        if (!record) {
            contents.records.clear();
            contents.error =
                fmt::format("line {} of the scan-info file is damaged: {}", number, why);
            return contents;
        }
        contents.records.push_back(std::move(*record));
    }
    return contents;
}

ScanInfoContents readScanInfo(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ScanInfoContents contents;
        contents.error = "cannot read " + path;
        return contents;
    }
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return parseScanInfo(text);
}

}  // namespace mdf
