#include "cli/language.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

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
    {"stopped: nothing was written; the same command goes on from the saved analysis",
     "已停止: 没有写出文件;再次运行同一命令即可从保存的分析继续"},
    {"stopped: nothing was written, and the scan was not kept",
     "已停止: 没有写出文件,扫描结果也未保存"},
    {"stopped: nothing was written; the scan is kept in {}. To go on from there: {}",
     "已停止: 没有写出文件;扫描结果保存在 {}。继续请运行: {}"},
    {"the analysis ended early; nothing was written", "分析提前结束;没有写出文件"},
    {"the fragment list has no row {} (rows 1 to {})", "碎片列表没有第 {} 行(行号 1 到 {})"},
    {"the free-space map needs a partition (--partition)", "空闲空间位图需要分区(--partition)"},
    {"{} pages could not be read and were exported as zeros", "{} 个页面读不出,已按全零导出"},
    {"cannot restore the session from {}", "无法从 {} 恢复会话"},
    {"{} fragments, {} database file(s); saved to {}", "{} 个碎片,{} 个数据库文件;已保存到 {}"},
    {"the scan was interrupted at sector {}; what it found is saved in {}",
     "扫描在扇区 {} 处中断;已找到的内容保存在 {}"},
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
