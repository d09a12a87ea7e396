// The console's two languages: each system text in its English form, the Chinese texts kept word
// for word under zh, fragment numbers from 1, and the locale rule.
#include "cli/language.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace mdf::cli {
namespace {

bool hasChinese(const std::string& text) {
    // Every CJK ideograph and full-width sign in UTF-8 begins with a byte from 0xE3 to 0xEF.
    for (unsigned char c : text)
        if (c >= 0xE3 && c <= 0xEF) return true;
    return false;
}

std::string en(std::string_view line) {
    return consoleText(line, Language::English);
}
std::string zh(std::string_view line) {
    return consoleText(line, Language::Chinese);
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

TEST(ConsoleLanguage, EverySystemTextHasAnEnglishFormAndStaysWordForWordInChinese) {
    struct Case {
        std::string system, english, chinese;
    };
    const Case cases[] = {
        {"找到碎片号0", "found fragment 1", "找到碎片号1"},
        {"找到碎片号41", "found fragment 42", "找到碎片号42"},
        {"找到未确定碎片号9", "found unconfirmed fragment 10", "找到未确定碎片号10"},
        {"find fragment3", "found fragment 4", "find fragment4"},
        {"get page info error,fragment NO7", "get page info error, fragment 8",
         "get page info error,fragment NO8"},
        {"分析已正常结束,请组合前进行二次查找",
         "the analysis ended normally; search more before creating the file",
         "分析已正常结束,请组合前进行二次查找"},
        {"本次找到碎片数量3。二次查找完毕", "this pass found 3 fragments; search more done",
         "本次找到碎片数量3。二次查找完毕"},
        {"组合MDF完成(CREATE MDF finished): /tmp/a b.mdf", "CREATE MDF finished: /tmp/a b.mdf",
         "组合MDF完成(CREATE MDF finished): /tmp/a b.mdf"},
        {"结束扇区超出数据源,扫描到扇区 2048 为止 (the end sector lies past the source; the scan "
         "ends at sector 2048)",
         "the end sector lies past the source; the scan ends at sector 2048",
         "结束扇区超出数据源,扫描到扇区 2048 为止 (the end sector lies past the source; the scan "
         "ends at sector 2048)"},
        {"引导扇区已损坏,按未知文件系统扫描 (the boot sector is damaged: 65535 reserved sectors "
         "(more than the volume); the volume is scanned whole)",
         "the boot sector is damaged: 65535 reserved sectors (more than the volume); the volume "
         "is scanned whole",
         "引导扇区已损坏,按未知文件系统扫描 (the boot sector is damaged: 65535 reserved sectors "
         "(more than the volume); the volume is scanned whole)"},
        {"文件头页声明 900 页,数据源最多容纳 640 页 (the file header page states 900 pages; the "
         "source holds at most 640; the file ends there)",
         "the file header page states 900 pages; the source holds at most 640; the file ends "
         "there",
         "文件头页声明 900 页,数据源最多容纳 640 页 (the file header page states 900 pages; the "
         "source holds at most 640; the file ends there)"},
        {"error,无法创建文件out/123.hex (No space left on device)",
         "error, cannot create the file out/123.hex (No space left on device)",
         "error,无法创建文件out/123.hex (No space left on device)"},
        {"error,无法打开文件", "error, cannot open the file", "error,无法打开文件"},
        {"保存完毕", "saved", "保存完毕"},
        {"统计结果:碎片数量为4总大小为:1024KB", "statistics: 4 fragments, 1024 KB in all",
         "统计结果:碎片数量为4总大小为:1024KB"},
        // The system's English texts are the same in both languages.
        {"begin scan2026-12-08 08:00:00", "begin scan2026-12-08 08:00:00",
         "begin scan2026-12-08 08:00:00"},
        {"512error1sec1234", "512error1sec1234", "512error1sec1234"},
        {"lack of page 17", "lack of page 17", "lack of page 17"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(en(c.system), c.english) << c.system;
        EXPECT_FALSE(hasChinese(en(c.system))) << c.system;
        EXPECT_EQ(zh(c.system), c.chinese) << c.system;
    }
}

TEST(ConsoleLanguage, LinesThatPairEachChinesePhraseWithItsEnglishPrintTheEnglish) {
    EXPECT_EQ(en("文件名取自碎片(name read from page 32 of fragment) 3: D:\\data\\Sales.mdf"),
              "name read from page 32 of fragment 3: D:\\data\\Sales.mdf");
    EXPECT_EQ(en("候选碎片(candidate) 4 优先于(preferred to) 9: 覆盖页数较多(reaches further) "
                 "[3/3 verified | 2/3 verified]"),
              "candidate 4 preferred to 9: reaches further [3/3 verified | 2/3 verified]");
    EXPECT_EQ(en("第1页与第32页均丢失,以全部碎片建立页图(pages 1 and 32 are lost too: a map "
                 "(of every fragment) is built)"),
              "pages 1 and 32 are lost too: a map (of every fragment) is built")
        << "digits inside the Chinese phrase, brackets inside the English";
    EXPECT_EQ(zh("跨簇页查找(split-page search): 2/3 pages"),
              "跨簇页查找(split-page search): 2/3 pages");
    // Chinese without its English is never dropped.
    EXPECT_EQ(en("单独中文 text"), "单独中文 text");
    EXPECT_EQ(en("中文(未闭合"), "中文(未闭合");
    EXPECT_EQ(en("中文(english"), "中文(english");
}

TEST(ConsoleLanguage, DamagedLinesArePrintedAsTheyCame) {
    // A number missing where one belongs, or text with unbalanced parentheses, is never cut.
    EXPECT_EQ(en("找到碎片号"), "找到碎片号");
    EXPECT_EQ(en("找到碎片号x"), "找到碎片号x");
    EXPECT_EQ(en("结束扇区超出数据源 no parenthesis"), "结束扇区超出数据源 no parenthesis");
    EXPECT_EQ(en("统计结果:damaged"), "统计结果:damaged");
    EXPECT_EQ(en("找到碎片号99999999999999999999"), "found fragment 99999999999999999999")
        << "a number too large to count up stays as it is";
    EXPECT_EQ(zh("找到碎片号99999999999999999999"), "找到碎片号99999999999999999999");
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

TEST(ConsoleLanguage, OnlyConfirmationsAreLeftOutByQuiet) {
    EXPECT_TRUE(isConfirmation("success"));
    EXPECT_TRUE(isConfirmation("保存完毕"));
    EXPECT_FALSE(isConfirmation("read disk error"));
    EXPECT_FALSE(isConfirmation("error,无法打开文件"));
}

}  // namespace
}  // namespace mdf::cli
