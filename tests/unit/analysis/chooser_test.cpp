// The decisions of the next-fragment dialog and the saving of candidates as files.
#include <gtest/gtest.h>

#include "analysis/next_fragment_chooser.h"
#include "analysis_world.h"

namespace mdf {
namespace {

TEST(ChooserDecision, TicksWinOverClicksAndRowsOutOfRangeCancel) {
    ChooserDecision d;
    d.beginQuestion();
    d.confirm({false, false, false});
    EXPECT_EQ(d.answer(3), 0u) << "no tick and no click: the first candidate";

    d.beginQuestion();
    d.rowClicked(2);
    d.confirm({false, true, false, true});
    EXPECT_EQ(d.answer(4), 1u);

    d.beginQuestion();
    d.rowClicked(3);
    d.confirm({false, false, false, false});
    EXPECT_EQ(d.answer(4), 3u);
    // The next question has two rows; the row clicked before is no row of it.
    d.beginQuestion();
    d.confirm({false, false});
    EXPECT_EQ(d.answer(2), std::nullopt);

    d.beginQuestion();
    d.rowClicked(-1);
    EXPECT_EQ(d.chosenRow, 3) << "a click without a current row changes nothing";
    d.closed();
    EXPECT_EQ(d.state, ChooserDecision::State::Cancelled);
    EXPECT_EQ(d.answer(4), std::nullopt);
}

TEST(ChooserRows, CaptionIsTheLineNumberPlusOne) {
    FragmentList list;
    list.append(composeFragment(7, 2, 2048, 40, " "));
    list.append(composeFragment(9, 3, 4096, 40, " "));
    EXPECT_EQ(chooserRow(list, 1),
              (std::array<std::string, 6>{"2", "24", "40", "43", "4096", "4144"}));
}

TEST(SaveCandidates, OneHexFilePerFragmentNamedAfterItsFirstSector) {
    test::AnalysisWorld w;
    const std::int32_t a = w.fragment(2048, {test::ownedPage(40, 1), test::ownedPage(41, 1)});
    const std::int32_t b =
        w.fragment(4096, {test::ownedPage(40, 2), test::ownedPage(41, 2), test::ownedPage(42, 2)});
    saveCandidatesAsHex(w.origin, w.fragments, {a, b}, w.dir.path().string(), w.reporter);
    EXPECT_EQ(test::readFile(w.dir.file("2048.hex")).size(), 16384u);
    EXPECT_EQ(test::readFile(w.dir.file("4096.hex")).size(), 24576u);
    EXPECT_EQ(w.reporter.messages(), std::vector<std::string>{"提示: 保存完毕"});

    saveCandidatesAsHex(w.origin, w.fragments, {a}, w.dir.file("no/such/folder"), w.reporter);
    EXPECT_EQ(w.reporter.messages().back().rfind("提示: error,无法创建文件", 0), 0u);
}

}  // namespace
}  // namespace mdf
