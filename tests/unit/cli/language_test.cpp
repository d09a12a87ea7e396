// The console's two languages: the system's texts, handed over as codes, in the window's words
// and in English alone; the command line's own texts; the locale rule.
#include "cli/language.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "report/saying.h"

namespace mdf::cli {
namespace {

bool hasChinese(const std::string& text) {
    // Every CJK ideograph and full-width sign in UTF-8 begins with a byte from 0xE3 to 0xEF.
    for (unsigned char c : text)
        if (c >= 0xE3 && c <= 0xEF) return true;
    return false;
}

TEST(ConsoleLanguage, TheLocaleDecidesAndTheFirstVariableSetWins) {
    EXPECT_EQ(languageFromLocale(nullptr, nullptr, "zh_CN.UTF-8"), Language::Chinese);
    EXPECT_EQ(languageFromLocale(nullptr, nullptr, "zh_TW"), Language::Chinese);
    EXPECT_EQ(languageFromLocale(nullptr, "zh", "en_US.UTF-8"), Language::Chinese);
    EXPECT_EQ(languageFromLocale("C", nullptr, "zh_CN.UTF-8"), Language::English);
    EXPECT_EQ(languageFromLocale("", "", "de_DE.UTF-8"), Language::English);
    EXPECT_EQ(languageFromLocale(nullptr, nullptr, nullptr), Language::English);
    EXPECT_EQ(languageFromLocale("", nullptr, "zh_HK.UTF-8"), Language::Chinese)
        << "an empty variable counts as not set";
}

TEST(ConsoleLanguage, TheSystemsTextsKeepTheirWordsInTheWindowAndHaveAnEnglishForm) {
    struct Case {
        Said said;
        std::string window, english;
    };
    const Case cases[] = {
        {said(Saying::FoundFragment, 6), "找到碎片号6", "found fragment 6"},
        {said(Saying::FoundUnconfirmedFragment, 10), "找到未确定碎片号10",
         "found unconfirmed fragment 10"},
        {said(Saying::FoundConfirmedFragment, 4), "find fragment4", "found fragment 4"},
        {said(Saying::PageInfoError, 8), "get page info error,fragment NO8",
         "get page info error, fragment 8"},
        {said(Saying::SearchPageInfoError, 8), "get page info error,index8",
         "get page info error, fragment 8"},
        {said(Saying::AnalysisEnded), "分析已正常结束,请组合前进行二次查找",
         "the analysis ended normally; search more before creating the file"},
        {said(Saying::SearchMoreFound, 3), "本次找到碎片数量3。二次查找完毕",
         "this pass found 3 fragments; search more done"},
        {said(Saying::CreateMdfFinished, "/tmp/a b.mdf"),
         "组合MDF完成(CREATE MDF finished): /tmp/a b.mdf", "CREATE MDF finished: /tmp/a b.mdf"},
        {said(Saying::EndPastSource, 2048),
         "结束扇区超出数据源,扫描到扇区 2048 为止 (the end sector lies past the source; the scan "
         "ends at sector 2048)",
         "the end sector lies past the source; the scan ends at sector 2048"},
        {said(Saying::CannotCreateFile, "out/123.hex", "No space left on device"),
         "error,无法创建文件out/123.hex (No space left on device)",
         "error, cannot create the file out/123.hex (No space left on device)"},
        {said(Saying::CannotOpenFile), "error,无法打开文件", "error, cannot open the file"},
        {said(Saying::ChooserSaved), "保存完毕", "saved"},
        {said(Saying::Saved), "saved", "saved"},
        {said(Saying::Success), "success", "success"},
        {said(Saying::ProcessDone), "process done", "process done"},
        {said(Saying::InvalidDrive), "invaid driver！", "invalid drive"},
        {said(Saying::ChooseSourceFirst), "choose datasource first！",
         "choose a data source first"},
        {said(Saying::Statistics, 4, 1024), "统计结果:碎片数量为4总大小为:1024KB",
         "statistics: 4 fragments, 1024 KB in all"},
        {said(Saying::PreferredReachesFurther, 4, 9, "3/3 verified", "2/3 verified"),
         "候选碎片(candidate) 4 优先于(preferred to) 9: 覆盖页数较多(reaches further) [3/3 "
         "verified | 2/3 verified]",
         "candidate 4 preferred to 9: reaches further [3/3 verified | 2/3 verified]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(worded(c.said, Wording::Window), c.window);
        EXPECT_EQ(worded(c.said, Wording::English), c.english);
    }
}

TEST(ConsoleLanguage, EveryCodeIsWordedInEnglishAloneAndShowsEachOfItsValues) {
    // Values no wording could contain by chance: each must appear in both forms.
    const std::vector<std::string> values = {"V0x", "V1x", "V2x", "V3x"};
    for (int code = 0; code <= static_cast<int>(Saying::Statistics); ++code) {
        const auto saying = static_cast<Saying>(code);
        const std::string window = worded({saying, values}, Wording::Window);
        const std::string english = worded({saying, values}, Wording::English);
        ASSERT_FALSE(window.empty()) << "code " << code << " has no wording";
        EXPECT_FALSE(hasChinese(english)) << english;
        for (const std::string& v : values) {
            const bool inWindow = window.find(v) != std::string::npos;
            EXPECT_EQ(inWindow, english.find(v) != std::string::npos)
                << "code " << code << ": " << window << " / " << english;
        }
    }
    EXPECT_EQ(worded(said(Saying::TableHit), Wording::English), "table hit: ")
        << "a value missing is said empty, never a failure";
}

TEST(ConsoleLanguage, EachChineseFormKeepsTheFieldsOfItsEnglish) {
    std::size_t count = 0;
    const LocalizedText* texts = localizedTexts(count);
    ASSERT_GT(count, 20u);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string english(texts[i].english), chinese(texts[i].chinese);
        auto fields = [](const std::string& t) {
            std::size_t n = 0;
            for (std::size_t p = t.find("{}"); p != std::string::npos; p = t.find("{}", p + 2))
                ++n;
            return n;
        };
        EXPECT_EQ(fields(english), fields(chinese)) << english;
        // Both format with the same arguments (fmt throws on a field it cannot fill).
        EXPECT_NO_THROW((void)fmt::format(fmt::runtime(chinese), "a", "b", "c")) << chinese;
        EXPECT_EQ(localized(english, Language::Chinese), chinese);
        EXPECT_EQ(localized(english, Language::English), english);
    }
    EXPECT_EQ(localized("a text with no Chinese form", Language::Chinese),
              "a text with no Chinese form");
}

}  // namespace
}  // namespace mdf::cli
