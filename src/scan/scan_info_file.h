#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/fragment_list.h"
#include "source/output_file.h"

namespace mdf {

inline constexpr std::string_view kScanInfoKey = "KQZVX";

// One line of a scan-info file: the start value a0 in two hex digits, then two hex digits per
// character of the record, each chained to the one before and keyed cyclically by key.
std::string encodeLine(std::string_view text, std::string_view key, std::uint8_t startValue);
// Nothing when the line is not an even number of hexadecimal digits.
std::optional<std::string> decodeLine(std::string_view encoded, std::string_view key);

// Writes every record, one encoded line each, CR LF after each line, through the output guard.
// Empty on success; otherwise why the file could not be written.
std::string writeScanInfo(const std::string& path, const FragmentList& list,
                          std::uint32_t randomSeed, const OutputGuard& guard = {});

struct ScanInfoContents {
    std::vector<FragmentRecord> records;
    // Set when a line is damaged: nothing else is given back then.
    std::string error;
};

// Reads and checks the whole file before anything is given back: a damaged line is named by
// its number so that the list the user has is kept.
ScanInfoContents readScanInfo(const std::string& path);
ScanInfoContents parseScanInfo(std::string_view text);

}  // namespace mdf
