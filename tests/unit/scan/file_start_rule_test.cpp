// A file header page alone in its cluster starts a file only when it proves itself; checked on
// the real pubs file's page 0 and on forms of it with torn bits and without protection.
#include "scan/file_start_rule.h"

#include <gtest/gtest.h>

#include "scan/scan_engine.h"
#include "source/byte_order.h"
#include "support/pubs_file.h"
#include "testworld/fidelity_world.h"

namespace mdf {
namespace {

using test::Page;
using test::pubsPage;

// The page with torn bits in place of its checksum, as a server set to torn-page detection
// would have written it.
Page withTornBits(Page p) {
    p[5] = static_cast<std::uint8_t>((p[5] & 0xF0) | 1);
    storeU32(&p[60], 1);
    test::protectAgain(p);
    return p;
}

TEST(LoneFileHeader, TheRealPubsPage0ProvesItselfByItsChecksum) {
    Page p = pubsPage(0);
    ASSERT_EQ(pageProtection(p), PageProtection::Checksum);
    EXPECT_TRUE(loneFileHeaderStartsFile(p, 1));
    EXPECT_FALSE(loneFileHeaderStartsFile(p, 2)) << "another file id";
    Page changed = p;
    changed[4000] ^= 0x10;
    EXPECT_FALSE(loneFileHeaderStartsFile(changed, 1)) << "checksum no longer holds";
}

TEST(LoneFileHeader, TornBitsMustAgreeInEverySector) {
    Page torn = withTornBits(pubsPage(0));
    ASSERT_EQ(pageProtection(torn), PageProtection::TornBits);
    EXPECT_TRUE(loneFileHeaderStartsFile(torn, 1));
    Page half = torn;
    half[512 * 9 + 511] ^= 3;  // one sector from another write
    EXPECT_FALSE(loneFileHeaderStartsFile(half, 1));
}

TEST(LoneFileHeader, WithoutProtectionOrAsAnotherPageNothingStarts) {
    Page none = pubsPage(0);
    none[5] &= 0xF0;
    EXPECT_FALSE(loneFileHeaderStartsFile(none, 1)) << "a header alone is too weak a sign";
    EXPECT_FALSE(loneFileHeaderStartsFile(pubsPage(1), 1)) << "the PFS page";
    EXPECT_FALSE(loneFileHeaderStartsFile(pubsPage(9), 1)) << "the boot page";
    Page zero{};
    EXPECT_FALSE(loneFileHeaderStartsFile(zero, 1));
}

}  // namespace
}  // namespace mdf
