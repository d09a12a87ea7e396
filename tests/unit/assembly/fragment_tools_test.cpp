// The fragment list's tools: export, filter, statistics, adding to the combination, names and
// log sequence numbers.
#include "assembly/fragment_tools.h"

#include <gtest/gtest.h>

#include "../analysis/analysis_world.h"
#include "assembly/sha256.h"

namespace mdf {
namespace {

using test::AnalysisWorld;
using test::ownedPage;
using test::PageBuilder;

std::vector<PageBuilder> run(std::int32_t from, std::int32_t to) {
    std::vector<PageBuilder> pages;
    for (std::int32_t p = from; p < to; ++p)
        pages.push_back(p == 0 ? PageBuilder::fileHeaderPage(1, 99) : ownedPage(p, 5));
    return pages;
}

struct ToolsWorld : AnalysisWorld {
    FragmentListView view;
    FragmentTools tools{fragments, origin, reporter, 16, OutputGuard{image.path(), false, {}}};
    void show() { view.fill(fragments); }
    void check(std::initializer_list<std::size_t> rows) {
        for (std::size_t r : rows)
            view.checked[r] = true;
    }
};

TEST(Export, OneFileWithZeroPagesForGapsOrOneHexFilePerFragment) {
    ToolsWorld w;
    w.fragment(2048, run(0, 10));
    w.fragment(4096, run(12, 20));
    w.fragment(8192, run(5, 20));
    w.show();
    w.check({0, 1});
    ASSERT_TRUE(w.tools.exportToOneFile(w.view, true, w.dir.file("one.bin")).written);
    auto one = test::readFile(w.dir.file("one.bin"));
    ASSERT_EQ(one.size(), 20u * 8192);
    EXPECT_EQ(PageHeader::from(std::span(&one[12 * 8192], 96)).pageId(), 12);
    EXPECT_EQ(one[10 * 8192], 0);

    w.view.uncheckAll();
    w.check({1});
    w.tools.exportToOneFile(w.view, false, w.dir.file("alone.bin"));
    EXPECT_EQ(test::readFile(w.dir.file("alone.bin")).size(), 8u * 8192)
        << "no filler before the first row";

    w.view.uncheckAll();
    w.check({0, 2});
    EXPECT_FALSE(w.tools.exportToOneFile(w.view, true, w.dir.file("double.bin")).written);
    EXPECT_EQ(w.reporter.messages().back(), "message: error,pageid not connectted:5");
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("double.bin")));
    w.tools.exportToOneFile(w.view, false, w.dir.file("double.bin"));
    EXPECT_EQ(test::readFile(w.dir.file("double.bin")).size(), 25u * 8192);

    ASSERT_TRUE(w.tools.exportToFolder(w.view, w.dir.path().string()).written);
    EXPECT_EQ(test::readFile(w.dir.file("2048.hex")).size(), 10u * 8192);
    EXPECT_EQ(w.reporter.messages().back(), "message: saved");
}

TEST(Export, UnreadablePagesAreZerosAndListedAndNothingIsWrittenOverTheSource) {
    ToolsWorld w;
    w.fragment(2048, run(0, 10));
    // Its last three pages lie past the end of the image.
    w.fragments.append(composeFragment(2, 5, w.image.sectors() - 32, 40, " "));
    w.show();
    w.check({0, 1});
    ExportOutcome outcome = w.tools.exportToOneFile(w.view, false, w.dir.file("one.bin"));
    ASSERT_TRUE(outcome.written);
    EXPECT_EQ(outcome.unreadablePages, (std::vector<std::int32_t>{42, 43, 44}));
    EXPECT_EQ(test::readFile(w.dir.file("one.bin")).size(), 45u * 8192);

    const std::string before = sha256OfFile(w.image.path());
    EXPECT_FALSE(w.tools.exportToOneFile(w.view, false, w.image.path()).written);
    EXPECT_FALSE(w.tools.exportToFolder(w.view, w.image.path()).written);
    EXPECT_EQ(sha256OfFile(w.image.path()), before);

    w.view.uncheckAll();
    EXPECT_FALSE(w.tools.exportToOneFile(w.view, false, w.dir.file("none.bin")).written)
        << "nothing checked: no empty file passed off as an export";
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("none.bin")));
}

TEST(Filter, BeginRangesAndContainedPagesAndBadNumbersChangeNothing) {
    ToolsWorld w;
    for (auto [b, e] : {std::pair{99, 100},
                        {100, 101},
                        {199, 200},
                        {200, 201},
                        {140, 150},
                        {150, 151},
                        {149, 151}})
        w.fragments.append(composeFragment(1, e - b, 1000 * b, b, " "));
    auto visible = [&] {
        std::vector<std::int32_t> begins;
        for (const auto& r : w.fragments)
            if (r.isVisible()) begins.push_back(r.beginPage);
        return begins;
    };
    FilterInput range{FilterMode::BeginPageRange, "100", "200", "x"};
    ASSERT_TRUE(applyFilter(w.fragments, range, w.reporter));
    EXPECT_EQ(visible(), (std::vector<std::int32_t>{100, 199, 140, 150, 149}));
    FilterInput contains{FilterMode::ContainsPage, "x", "x", "150"};
    applyFilter(w.fragments, contains, w.reporter);
    EXPECT_EQ(visible(), (std::vector<std::int32_t>{150, 149}));
    FilterInput untouched{FilterMode::BeginPageRange, "edtbeginid", "edtendid", "edtpgid"};
    EXPECT_FALSE(applyFilter(w.fragments, untouched, w.reporter));
    EXPECT_EQ(visible(), (std::vector<std::int32_t>{150, 149}));
    applyFilter(w.fragments, {FilterMode::ShowAll, "", "", ""}, w.reporter);
    EXPECT_EQ(visible().size(), 7u);
}

TEST(ListTools, StatisticsStartSectorAndAddingFilteredRowsByIdentity) {
    ToolsWorld w;
    w.fragments.replace({composeFragment(1, 1, 16, 0, " "), composeFragment(2, 3, 4096, 40, " "),
                         composeFragment(3, 1, 9000, 70, " ")});
    w.fragments.setVisible(0, "N");
    w.show();
    w.check({0, 1});
    w.tools.showCheckedStatistics(w.view);
    EXPECT_EQ(w.reporter.messages().back(), "提示: 统计结果:碎片数量为2总大小为:32KB");
    EXPECT_EQ(w.tools.startSectorText(w.view, 0), "4096");
    EXPECT_EQ(w.tools.startSectorText(w.view, std::nullopt), std::nullopt);

    CombinationList combination;
    addCheckedToCombination(w.view, w.fragments, w.results, combination);
    EXPECT_EQ(w.results.combinationMarks, (std::vector<std::int32_t>{0, 1, 1}))
        << "row 1 of the filtered view is record 1, whatever its caption says";
    EXPECT_EQ(combination.rows.size(), 2u);

    std::int32_t sortColumn = 0;
    w.view.sortBy(2, sortColumn, true);
    EXPECT_EQ(sortColumn, 0) << "no sorting while a scan runs";
}

TEST(ListTools, NamesFromPage32AndLogSequenceNumbersOfPageZero) {
    ToolsWorld w;
    auto file = run(0, 40);
    file[32].addFileNameRecord("x", "E:\\db\\Orders.mdf");
    file[0].setLogSequence(0x1A, 0x110, 5);
    w.fragment(1000, file);
    w.fragment(9000, run(100, 120));
    w.show();
    w.check({0, 1});
    w.tools.showFileNames(w.view);
    EXPECT_EQ(w.reporter.messages(), std::vector<std::string>{"message: E:\\db\\Orders.mdf"});
    w.tools.appendLogSequenceNumbers(w.view);
    // The memo " " trimmed, a blank, then the three numbers.
    EXPECT_EQ(w.view.rows[0].remark, " 0000001A000001100005");
    EXPECT_EQ(w.fragments[0].memo, " ") << "only the cell changes";
    EXPECT_EQ(w.reporter.messages().back(), "message: process done");
}

}  // namespace
}  // namespace mdf
