#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "assembly/assembly_context.h"

namespace mdf {

// Where an output file would land, seen from the source being recovered.
enum class OutputTarget { Elsewhere, IsTheSource, OnTheSourceDevice };
OutputTarget checkOutputTarget(const std::string& outputPath, const std::string& sourcePath);

struct AssemblyOutcome {
    bool written = false;
    std::int64_t pages = 0;              // pages in the file written
    std::vector<std::int32_t> gapPages;  // page ids written as zeros because no row holds them
    std::vector<std::int32_t> unreadablePages;  // page ids written as zeros because a read failed
};

// Writes the rows of the combination list, in their order, into a new file: zero
// pages for gaps, the boundary page repaired where clusters are smaller than a page, zero pages
// up to the file's own page count. The file is written under a temporary name and renamed at
// the end, so that an interrupted write never leaves half a file under the name asked for.
// Refuses to write over the source; writing onto the device being recovered needs
// allowOnSourceDevice (the front end asks first).
AssemblyOutcome writeMdf(AssemblyContext& ctx, const std::string& outputPath,
                         const std::string& sourcePath, bool allowOnSourceDevice = false);

// The file name CREATE MDF proposes: the part of the lost file's own path after its last
// backslash.
std::string defaultMdfName(const std::string& lostFileName);

}  // namespace mdf
