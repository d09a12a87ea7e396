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
    std::vector<FragmentRow> rows;
    std::vector<FragmentRow> chosen;
    FragmentTools tools{fragments, origin, reporter, 16, OutputGuard{image.path(), false, {}}};
    void show() { rows = visibleRows(fragments); }
    void choose(std::initializer_list<std::size_t> numbers) {
        chosen.clear();
        for (std::size_t r : numbers)
            chosen.push_back(rows[r]);
    }
};

TEST(Export, OneFileWithZeroPagesForGapsOrOneHexFilePerFragment) {
    ToolsWorld w;
    w.fragment(2048, run(0, 10));
    w.fragment(4096, run(12, 20));
    w.fragment(8192, run(5, 20));
    w.show();
    w.choose({0, 1});
    ASSERT_TRUE(w.tools.exportToOneFile(w.chosen, true, w.dir.file("one.bin")).written);
    auto one = test::readFile(w.dir.file("one.bin"));
    ASSERT_EQ(one.size(), 20u * 8192);
    EXPECT_EQ(PageHeader::from(std::span(&one[12 * 8192], 96)).pageId(), 12);
    EXPECT_EQ(one[10 * 8192], 0);

    w.choose({1});
    w.tools.exportToOneFile(w.chosen, false, w.dir.file("alone.bin"));
    EXPECT_EQ(test::readFile(w.dir.file("alone.bin")).size(), 8u * 8192)
        << "no filler before the first row";

    w.choose({0, 2});
    EXPECT_FALSE(w.tools.exportToOneFile(w.chosen, true, w.dir.file("double.bin")).written);
    EXPECT_EQ(w.reporter.messages().back(), "message: error,pageid not connectted:5");
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("double.bin")));
    w.tools.exportToOneFile(w.chosen, false, w.dir.file("double.bin"));
    EXPECT_EQ(test::readFile(w.dir.file("double.bin")).size(), 25u * 8192);

    ASSERT_TRUE(w.tools.exportToFolder(w.chosen, w.dir.path().string()).written);
    EXPECT_EQ(test::readFile(w.dir.file("2048.hex")).size(), 10u * 8192);
    EXPECT_EQ(w.reporter.messages().back(), "message: saved");
}

TEST(Export, UnreadablePagesAreZerosAndListedAndNothingIsWrittenOverTheSource) {
    ToolsWorld w;
    w.fragment(2048, run(0, 10));
    // Its last three pages lie past the end of the image.
    w.fragments.append(composeFragment(2, 5, w.image.sectors() - 32, 40, " "));
    w.show();
    w.choose({0, 1});
    ExportOutcome outcome = w.tools.exportToOneFile(w.chosen, false, w.dir.file("one.bin"));
    ASSERT_TRUE(outcome.written);
    EXPECT_EQ(outcome.unreadablePages, (std::vector<std::int32_t>{42, 43, 44}));
    EXPECT_EQ(test::readFile(w.dir.file("one.bin")).size(), 45u * 8192);

    const std::string before = sha256OfFile(w.image.path());
    EXPECT_FALSE(w.tools.exportToOneFile(w.chosen, false, w.image.path()).written);
    EXPECT_FALSE(w.tools.exportToFolder(w.chosen, w.image.path()).written);
    EXPECT_EQ(sha256OfFile(w.image.path()), before);

    w.chosen.clear();
    EXPECT_FALSE(w.tools.exportToOneFile(w.chosen, false, w.dir.file("none.bin")).written)
        << "nothing checked: no empty file passed off as an export";
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("none.bin")));
}

TEST(Filter, BeginRangesAndContainedPages) {
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
    FilterInput range{FilterMode::BeginPageRange, 100, 200, 0};
    ASSERT_TRUE(applyFilter(w.fragments, range));
    EXPECT_EQ(visible(), (std::vector<std::int32_t>{100, 199, 140, 150, 149}));
    FilterInput contains{FilterMode::ContainsPage, 0, 0, 150};
    applyFilter(w.fragments, contains);
    EXPECT_EQ(visible(), (std::vector<std::int32_t>{150, 149}));
    EXPECT_FALSE(applyFilter(w.fragments, {FilterMode::None, 0, 0, 0}));
    EXPECT_EQ(visible(), (std::vector<std::int32_t>{150, 149}));
    applyFilter(w.fragments, {FilterMode::ShowAll, 0, 0, 0});
    EXPECT_EQ(visible().size(), 7u);
}

TEST(ListTools, StatisticsAndAddingFilteredRowsByIdentity) {
    ToolsWorld w;
    w.fragments.replace({composeFragment(1, 1, 16, 0, " "), composeFragment(2, 3, 4096, 40, " "),
                         composeFragment(3, 1, 9000, 70, " ")});
    w.fragments.setVisible(0, "N");
    w.show();
    w.choose({0, 1});
    w.tools.showStatistics(w.chosen);
    EXPECT_EQ(w.reporter.messages().back(), "提示: 统计结果:碎片数量为2总大小为:32KB");

    CombinationList combination;
    addToCombination(w.chosen, w.fragments, w.results, combination);
    EXPECT_EQ(w.results.combinationMarks, (std::vector<std::int32_t>{0, 1, 1}))
        << "row 1 of the filtered view is record 1, whatever its caption says";
    EXPECT_EQ(combination.rows.size(), 2u);
}

TEST(ListTools, NamesFromPage32AndLogSequenceNumbersOfPageZero) {
    ToolsWorld w;
    auto file = run(0, 40);
    file[32].addFileNameRecord("x", "E:\\db\\Orders.mdf");
    file[0].setLogSequence(0x1A, 0x110, 5);
    w.fragment(1000, file);
    w.fragment(9000, run(100, 120));
    w.show();
    w.choose({0, 1});
    w.tools.showFileNames(w.chosen);
    EXPECT_EQ(w.reporter.messages(), std::vector<std::string>{"message: E:\\db\\Orders.mdf"});
    w.tools.appendLogSequenceNumbers(w.rows);
    // The memo " " trimmed, a blank, then the three numbers.
    EXPECT_EQ(w.rows[0].remark, " 0000001A000001100005");
    EXPECT_EQ(w.fragments[0].memo, " ") << "only the cell changes";
    EXPECT_EQ(w.reporter.messages().back(), "message: process done");
}

}  // namespace
}  // namespace mdf
