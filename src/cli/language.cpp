#include "cli/language.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "source/text_numbers.h"

namespace mdf::cli {

ConsoleSettings& console() {
    static ConsoleSettings settings;
    return settings;
}

Language languageFromLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    // The first of them that is set decides, as for every program that follows the locale.
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (!value || !*value) continue;
        const std::string_view v(value);
        return v.substr(0, 2) == "zh" ? Language::Chinese : Language::English;
    }
    return Language::English;
}

Language languageFromEnvironment() {
    return languageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                              std::getenv("LANG"));
}

namespace {

// How the rest of a line after a known beginning is turned into the console's form.
enum class Rest {
    Keep,         // printed as it is
    Fragment,     // a record number from 0, printed from 1
    Parenthesis,  // the line says it again in English in its last parentheses: en prints that
    FoundCount,   // "本次找到碎片数量N。二次查找完毕"
    Statistics,   // "统计结果:碎片数量为N总大小为:MKB"
};

struct SystemText {
    std::string_view beginning;
    std::string_view english;  // what replaces the beginning under en
    Rest rest;
};

// Keyed on the beginning of the system's texts; the longest beginnings first where one begins
// another.
constexpr SystemText kSystemTexts[] = {
    {"找到碎片号", "found fragment ", Rest::Fragment},
    {"找到未确定碎片号", "found unconfirmed fragment ", Rest::Fragment},
    {"find fragment", "found fragment ", Rest::Fragment},
    {"get page info error,fragment NO", "get page info error, fragment ", Rest::Fragment},
    {"get page info error,index", "get page info error, fragment ", Rest::Fragment},
    {"分析已正常结束,请组合前进行二次查找",
     "the analysis ended normally; search more before creating the file", Rest::Keep},
    {"本次找到碎片数量", "", Rest::FoundCount},
    {"组合MDF完成(CREATE MDF finished): ", "CREATE MDF finished: ", Rest::Keep},
    {"结束扇区超出数据源", "", Rest::Parenthesis},
    {"引导扇区已损坏", "", Rest::Parenthesis},
    {"文件头页声明", "", Rest::Parenthesis},
    {"error,无法创建文件", "error, cannot create the file ", Rest::Keep},
    {"error,无法打开文件", "error, cannot open the file", Rest::Keep},
    {"保存完毕", "saved", Rest::Keep},
    {"统计结果:", "", Rest::Statistics},
};

std::string fromOne(std::string_view digits) {
    auto n = parseInteger(std::string(digits));
    return n ? std::to_string(*n + 1) : std::string(digits);
}

// The digits a text begins with, and what follows them.
std::pair<std::string_view, std::string_view> leadingNumber(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9')
        ++n;
    return {text.substr(0, n), text.substr(n)};
}

std::string lastParenthesis(std::string_view line) {
    const auto close = line.rfind(')');
    if (close == std::string_view::npos) return std::string(line);
    int depth = 0;
    for (std::size_t i = close + 1; i-- > 0;) {
        if (line[i] == ')') ++depth;
        if (line[i] == '(' && --depth == 0) return std::string(line.substr(i + 1, close - i - 1));
    }
    return std::string(line);
}

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The later texts say each Chinese phrase again in English right behind it, "中文(English)":
// under en only the English is printed. Nothing else of the line changes.
std::string englishOfPairs(std::string_view text) {
    const auto high = [](char c) { return static_cast<unsigned char>(c) >= 0x80; };
    const auto letter = [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!high(text[i])) {
            out += text[i++];
            continue;
        }
        // A phrase runs on over Chinese, digits and punctuation up to its English in brackets.
        std::size_t open = i;
        while (open < text.size() && text[open] != '(' && text[open] != ')' &&
               (high(text[open]) || !letter(text[open])))
            ++open;
        std::size_t close = open;
        for (int depth = 0; close < text.size() && open < text.size() && text[open] == '(';
             ++close) {
            if (text[close] == '(') ++depth;
            if (text[close] == ')' && --depth == 0) break;
        }
        const bool paired = open < text.size() && text[open] == '(' && close < text.size() &&
                            isAscii(text.substr(open + 1, close - open - 1));
        if (!paired) {
            while (i < text.size() && high(text[i]))
                out += text[i++];
            continue;
        }
        out += text.substr(open + 1, close - open - 1);
        i = close + 1;
    }
    return out;
}

}  // namespace

std::string consoleText(std::string_view text, Language language) {
    for (const SystemText& t : kSystemTexts) {
        if (text.substr(0, t.beginning.size()) != t.beginning) continue;
        const std::string_view rest = text.substr(t.beginning.size());
        const bool zh = language == Language::Chinese;
        switch (t.rest) {
            case Rest::Keep:
                return zh ? std::string(text) : std::string(t.english) + std::string(rest);
            case Rest::Fragment: {
                auto [digits, after] = leadingNumber(rest);
                if (digits.empty()) return std::string(text);
                return std::string(zh ? t.beginning : t.english) + fromOne(digits) +
                       std::string(after);
            }
            case Rest::Parenthesis:
                return zh ? std::string(text) : lastParenthesis(text);
            case Rest::FoundCount: {
                auto [digits, after] = leadingNumber(rest);
                if (zh || digits.empty()) return std::string(text);
                return "this pass found " + std::string(digits) + " fragments; search more done";
            }
            case Rest::Statistics: {
                // "统计结果:碎片数量为N总大小为:MKB"
                constexpr std::string_view count = "碎片数量为", total = "总大小为:";
                if (zh || rest.substr(0, count.size()) != count) return std::string(text);
                auto [n, afterN] = leadingNumber(rest.substr(count.size()));
                if (afterN.substr(0, total.size()) != total) return std::string(text);
                auto [kb, unit] = leadingNumber(afterN.substr(total.size()));
                return "statistics: " + std::string(n) + " fragments, " + std::string(kb) +
                       " KB in all";
            }
        }
    }
    return language == Language::Chinese ? std::string(text) : englishOfPairs(text);
}

bool isConfirmation(std::string_view text) {
    return text == "success" || text == "saved" || text == "保存完毕" || text == "process done";
}

namespace {

// Each Chinese form keeps the {} fields of its English in the same order.
constexpr LocalizedText kTexts[] = {
    {"{} exists; it is kept (use --force to replace it)", "{} 已存在,保留不动(用 --force 覆盖)"},
    {"cannot open {}: {}", "无法打开 {}: {}"},
    {"{} is neither an image file nor a block device", "{} 既不是镜像文件也不是块设备"},
    {"cannot read {} as a partition: its boot sector cannot be read",
     "无法把 {} 作为分区读取: 引导扇区读不出"},
    {"cannot read {}: it is empty", "无法读取 {}: 它是空的"},
    {"{} has no partition {} ({} found)", "{} 没有分区 {}(共找到 {} 个)"},
    {"{} has no partition {}; its partitions are: {}", "{} 没有分区 {};它的分区有: {}"},
    {"{} is a whole disk with a partition table; choose a partition with --partition=N ({})",
     "{} 是带分区表的整个磁盘;请用 --partition=N 选择分区({})"},
    {"{} is mounted read-write on {}: unmount it, or work from an image of it, before recovering",
     "{} 以读写方式挂载在 {}: 恢复前请先卸载,或先做镜像再从镜像恢复"},
    {"--end {} lies past the end of the source; the scan ends at sector {}",
     "--end {} 超出数据源末尾;扫描到扇区 {} 为止"},
    {"--start {} lies past the end of the scan ({})", "--start {} 超出扫描范围末尾({})"},
    {"cannot create the folder {}: {}", "无法创建文件夹 {}: {}"},
    {"cannot open {} (an image file or a block device is needed)",
     "无法打开 {}(需要镜像文件或块设备)"},
    {"cannot read 96 bytes at offset {} of {}", "无法在 {} 偏移 {} 处读取 96 字节"},
    {"read disk error: {} sectors at sector {} of {}", "读盘错误: {} 个扇区,起于扇区 {},{}"},
    {"sector {} lies outside {} ({} sectors)", "扇区 {} 不在 {} 之内(共 {} 个扇区)"},
    {"create bitmap failed", "create bitmap failed"},
    {"export needs --single FILE or --folder DIR", "export 需要 --single FILE 或 --folder DIR"},
    {"no database file was found (no fragment begins with page 0)",
     "没有找到数据库文件(没有以第 0 页开始的碎片)"},
    {"no database file matches: choose one with --file N or --database TEXT",
     "没有匹配的数据库文件: 请用 --file N 或 --database TEXT 选择"},
    {"several database files were found: choose one with --file N or --database TEXT",
     "找到多个数据库文件: 请用 --file N 或 --database TEXT 选择"},
    {"out of memory", "内存不足"},
    {"the analysis ended early; nothing was written", "分析提前结束;没有写出文件"},
    {"the fragment list has no row {} (rows 1 to {})", "碎片列表没有第 {} 行(行号 1 到 {})"},
    {"the free-space map needs a partition (--partition)", "空闲空间位图需要分区(--partition)"},
    {"{} pages could not be read and were exported as zeros", "{} 个页面读不出,已按全零导出"},
    {"cannot restore the session from {}", "无法从 {} 恢复会话"},
    {"{} fragments, {} database file(s); saved to {}", "{} 个碎片,{} 个数据库文件;已保存到 {}"},
    {"the scan was interrupted at sector {}; what it found is saved in {}",
     "扫描在扇区 {} 处中断;已找到的内容保存在 {}"},
    {"partial result: the file lacks the pages listed above", "部分恢复: 文件缺少上面列出的页面"},
    {"the scan is kept in {} (scan-info) and {} (content)",
     "扫描结果保存在 {}(scan-info)和 {}(content)"},
    {"cannot read the partition table of {}: {}", "无法读取 {} 的分区表: {}"},
    {"{} has no partition table", "{} 没有分区表"},
    {"partition table: {}", "分区表: {}"},
    {"no database named so was found: the file header page (page 0) is lost, and the only "
     "database whose pages remain has lost its name with its page 32; recover it without "
     "--database",
     "没有找到该名称的数据库: 文件头页(第 0 页)已丢失,而仅存页面的那个数据库连同第 32 "
     "页一起丢失了名称;"
     "请不带 --database 恢复它"},
};

}  // namespace

const LocalizedText* localizedTexts(std::size_t& count) {
    count = std::size(kTexts);
    return kTexts;
}

std::string_view localized(std::string_view english, Language language) {
    if (language != Language::Chinese) return english;
    for (const LocalizedText& t : kTexts)
        if (t.english == english) return t.chinese;
    return english;
}

}  // namespace mdf::cli
