#include "scan/fragment_list.h"

#include <gtest/gtest.h>

namespace mdf {
namespace {

TEST(FragmentRecord, ComposesTheLineAndReadsItsFieldsBack) {
    FragmentRecord r = composeFragment(3, 1, 2048, 120, " ");
    const std::string line = r.text();
    EXPECT_EQ(line, "3|2048|2064|8|120|121| |Y|");
    EXPECT_EQ(recordField(line, 1), "3");
    EXPECT_EQ(recordField(line, 3), "2064");
    EXPECT_EQ(recordField(line, 7), " ");
    EXPECT_EQ(recordField(line, 8), "Y");
    EXPECT_EQ(recordField(line, 9), "");
}

TEST(FragmentRecord, ParseRoundTripsLargeSectorsAndMemos) {
    const std::int64_t farSector = (std::int64_t{1} << 40) + 16;
    FragmentRecord r = composeFragment(7, 800, farSector, 0, "D:\\data\\Sales.mdf(6.25 MB)");
    auto parsed = FragmentRecord::parse(r.text());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->text(), r.text());
    EXPECT_EQ(parsed->fsec, farSector);
    EXPECT_EQ(parsed->esec, farSector + 12800);
    EXPECT_EQ(parsed->pages(), 800);
}

TEST(FragmentRecord, ParseRejectsDamagedLines) {
    std::string why;
    for (const char* bad : {"", "3|2048|2064|8|120|121| |Y", "3|2048|x|8|120|121| |Y|",
                            "3|2048|2064|8|120|121|a|b|Y|", "3|2048|2064|8|99999999999|121| |Y|"}) {
        EXPECT_FALSE(FragmentRecord::parse(bad, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

TEST(FragmentRecord, VisibilityIgnoresBlanksAroundN) {
    FragmentRecord r = composeFragment(1, 1, 0, 5, " ");
    EXPECT_TRUE(r.isVisible());
    r.visible = " N ";
    EXPECT_FALSE(r.isVisible());
    r.visible = "n";
    EXPECT_TRUE(r.isVisible());
}

FragmentList listWithBeginPages(std::initializer_list<std::int32_t> pages) {
    FragmentList list;
    std::int32_t sn = 1;
    for (std::int32_t p : pages) {
        list.append(composeFragment(sn, 2, 1000 * sn, p, " "));
        ++sn;
    }
    return list;
}

TEST(FragmentIndex, SortsByBeginPageAndKeepsTiesInRecordOrder) {
    FragmentIndex index = buildFragmentIndex(listWithBeginPages({50, 10, 30}));
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[0].recordIndex, 1);
    EXPECT_EQ(index[0].beginPage, 10);
    EXPECT_EQ(index[0].endPage, 12);
    EXPECT_EQ(index[1].recordIndex, 2);
    EXPECT_EQ(index[2].recordIndex, 0);

    FragmentIndex ties = buildFragmentIndex(listWithBeginPages({7, 3, 7, 3, 7}));
    std::vector<std::int32_t> order;
    for (const auto& e : ties)
        order.push_back(e.recordIndex);
    EXPECT_EQ(order, (std::vector<std::int32_t>{1, 3, 0, 2, 4}));
    EXPECT_EQ(ties.lowerBound(4), 2u);
    EXPECT_EQ(ties.lowerBound(8), 5u);
    EXPECT_TRUE(buildFragmentIndex(FragmentList{}).empty());
}

TEST(FragmentIndex, GrowsPastTwoMillionEntries) {
    FragmentList list;
    const std::int32_t n = 2'000'100;
    std::vector<FragmentRecord> records;
    records.reserve(n);
    for (std::int32_t i = 0; i < n; ++i)
        records.push_back(composeFragment(i + 1, 1, i * 16, n - i, " "));
    list.replace(std::move(records));
    FragmentIndex index = buildFragmentIndex(list);
    ASSERT_EQ(index.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(index[0].beginPage, 1);
    EXPECT_EQ(index[0].recordIndex, n - 1);
    EXPECT_EQ(index[n - 1].beginPage, n);
}

TEST(FragmentView, ShowsVisibleRecordsInListOrder) {
    FragmentList list = listWithBeginPages({0, 10, 20});
    list.setVisible(1, "N");
    EXPECT_EQ(visibleRecords(list), (std::vector<std::int32_t>{0, 2}));
    for (std::size_t i = 0; i < list.size(); ++i)
        list.setVisible(i, " N");
    EXPECT_TRUE(visibleRecords(list).empty());
}

}  // namespace
}  // namespace mdf
