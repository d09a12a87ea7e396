#pragma once

// The whole recovery of a test-world image through the core, step by step as the window (and
// `mdfrecover recover`) runs it, keeping what each step produced for the tests to look at.
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "session/recovery_session.h"
#include "testworld/test_world.h"

namespace mdf::test {

// A fragment as first sector, pages and first page id.
using Triple = std::tuple<std::int64_t, std::int32_t, std::int32_t>;
std::set<Triple> triples(const std::vector<FragmentRecord>& list);

// Checks that a scan saw the manifest's fragments: each as the manifest has it or, read from free
// space only, without its last page where that page runs past the end of its extent (the
// clusters after it may hold a live file, whose bytes a run never takes).
void expectScannedFragments(const ImageManifest& m, const std::vector<FragmentRecord>& scanned,
                            bool freeSpaceOnly);

struct RecoveryRun {
    std::vector<FragmentRecord> fragments;  // after the scan
    std::vector<CatalogueRow> catalogue;
    std::vector<std::int32_t> analysed;  // records the analysis accepted, in the order it did
    std::vector<std::int32_t> combined;  // after SEARCH MORE, in page order
    std::vector<std::string> searchLines;
    std::vector<std::string> checkLines;
    AssemblyOutcome outcome;
    std::string outputSha256;
    std::string lostFileName;
};

struct RecoveryOptions {
    bool freeSpaceOnly = false;
    std::optional<int> partition;  // as --partition[=N]
    FileOpener opener = openReadOnly;
};

// Scans the image, picks the database whose first fragment the manifest names, analyses it,
// searches more, checks and creates output.
RecoveryRun recoverImage(const ImageManifest& m, const std::string& image,
                         const std::string& output, const RecoveryOptions& options);

// The options that recover an image as its manifest says it should be read.
RecoveryOptions optionsFor(const ImageManifest& m);

}  // namespace mdf::test
