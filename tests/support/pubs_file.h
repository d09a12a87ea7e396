#pragma once

// The real database file of the shared test data (pubs, checksum protection, 288 pages): what
// page formats and checksums are checked against, rather than pages our own code made.
#include <string>

#include "testworld/fidelity_world.h"

namespace mdf::test {

inline PageFile pubsFile() {
    return readPageFile(std::string(MDF_TESTDATA_DIR) + "/pubs_sql2008.mdf");
}

inline Page pubsPage(std::int32_t id) {
    return pubsFile().at(static_cast<std::size_t>(id));
}

}  // namespace mdf::test
