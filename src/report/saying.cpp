#include "report/saying.h"

#include <fmt/args.h>
#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace mdf {

namespace {

struct Wordings {
    Saying saying;
    int values;  // how many {} fields each form has
    std::string_view window;
    std::string_view english;
};

// One row per code, in the order of the enum.
constexpr Wordings kWordings[] = {
    {Saying::BootSectorDamaged, 1,
     "引导扇区已损坏,按未知文件系统扫描 (the boot sector is damaged: {0}; the volume is scanned "
     "whole)",
     "the boot sector is damaged: {0}; the volume is scanned whole"},
    {Saying::NoClusterSize, 1,
     "未知文件系统,逐扇区扫描 (no known file system, and byte 13 of its first sector ({0}) is no "
     "cluster size: the volume is scanned at every sector)",
     "no known file system, and byte 13 of its first sector ({0}) is no cluster size: the volume "
     "is scanned at every sector"},
    {Saying::AllocationDataUnreadable, 0,
     "create bitmap failed: 文件系统的分配信息无法读取,扫描整个卷 (the file system's allocation "
     "data cannot be read; the whole volume is scanned)",
     "create bitmap failed: the file system's allocation data cannot be read; the whole volume is "
     "scanned"},
    {Saying::EndPastSource, 1,
     "结束扇区超出数据源,扫描到扇区 {0} 为止 (the end sector lies past the source; the scan ends "
     "at sector {0})",
     "the end sector lies past the source; the scan ends at sector {0}"},
    {Saying::LoneFileHeader, 1, "单独的文件头页(lone file header page) sec{0}",
     "lone file header page at sector {0}"},
    {Saying::NewSourceNewList, 1,
     "新的数据源,新的碎片列表 (another source: a new fragment list; the fragments of {0} are no "
     "longer shown)",
     "another source: a new fragment list; the fragments of {0} are no longer shown"},
    {Saying::ContentWithoutRecord, 1,
     "内容文件没有不可读扇区的记录 (the content file {0} was written by an older version: sectors "
     "that could not be read when it was saved are not marked, and read as zeros)",
     "the content file {0} was written by an older version: sectors that could not be read when "
     "it was saved are not marked, and read as zeros"},
    {Saying::FoundFragment, 1, "找到碎片号{0}", "found fragment {0}"},
    {Saying::PageInfoError, 1, "get page info error,fragment NO{0}",
     "get page info error, fragment {0}"},
    {Saying::AnalysisEnded, 0, "分析已正常结束,请组合前进行二次查找",
     "the analysis ended normally; search more before creating the file"},
    {Saying::HeadLogSequence, 1, "文件头日志序号(file head LSN) {0}", "file head LSN {0}"},
    {Saying::PreferredIntact, 4,
     "候选碎片(candidate) {0} 优先于(preferred to) {1}: 其余候选页校验失败(the other copy's pages "
     "fail verification) [{2} | {3}]",
     "candidate {0} preferred to {1}: the other copy's pages fail verification [{2} | {3}]"},
    {Saying::PreferredAllowed, 4,
     "候选碎片(candidate) {0} 优先于(preferred to) {1}: 其余候选比文件头更新(the other copy is "
     "newer than the file head allows) [{2} | {3}]",
     "candidate {0} preferred to {1}: the other copy is newer than the file head allows "
     "[{2} | {3}]"},
    {Saying::PreferredNewer, 4,
     "候选碎片(candidate) {0} 优先于(preferred to) {1}: 其余候选是旧副本,同一页日志序号较旧(the "
     "other is an older copy: a shared page has an older log sequence number) [{2} | {3}]",
     "candidate {0} preferred to {1}: the other is an older copy: a shared page has an older log "
     "sequence number [{2} | {3}]"},
    {Saying::PreferredReachesFurther, 4,
     "候选碎片(candidate) {0} 优先于(preferred to) {1}: 覆盖页数较多(reaches further) [{2} | {3}]",
     "candidate {0} preferred to {1}: reaches further [{2} | {3}]"},
    {Saying::ChoseWithoutEvidence, 2,
     "候选碎片(candidate) {0} 与(and) {1} 内容不同,无证据区分,取较近者;其页列为无证据取用(differ, "
     "and nothing tells which is this file's: took the nearer; its pages are listed as taken "
     "without evidence)",
     "candidates {0} and {1} differ, and nothing tells which is this file's: took the nearer; its "
     "pages are listed as taken without evidence"},
    {Saying::WalkAgainFromEvidence, 0,
     "有无证据的选取,先取唯一符合的碎片后重新分析(fragments were taken without evidence: the "
     "fragments that alone fit the file's own pages are taken first, and the walk is made again)",
     "fragments were taken without evidence: the fragments that alone fit the file's own pages "
     "are taken first, and the walk is made again"},
    {Saying::TookSoleCandidate, 1, "唯一符合的碎片(the only fragment that fits its pages) {0}",
     "the only fragment that fits its pages: {0}"},
    {Saying::LoneHeaderWithoutPageOne, 0,
     "文件头页单独成碎片,未找到第1页(lone file header page; no fragment begins with PFS page 1)",
     "lone file header page; no fragment begins with PFS page 1"},
    {Saying::LoneHeaderPageOneFrom, 1,
     "文件头页单独成碎片,第1页取自碎片(lone file header page; page 1 from fragment) {0}",
     "lone file header page; page 1 from fragment {0}"},
    {Saying::HeaderLostRebuilding, 1,
     "文件头页丢失,按其余页重建(file header page 0 is lost; rebuilding from the pages that "
     "remain): {0}",
     "file header page 0 is lost; rebuilding from the pages that remain: {0}"},
    {Saying::MapFromEveryFragment, 0,
     "第1页丢失,以全部碎片建立页图(page 1 is lost too: the map is started from every fragment)",
     "page 1 is lost too: the map is started from every fragment"},
    {Saying::MapFromEveryFragmentNoName, 0,
     "第1页与第32页均丢失,以全部碎片建立页图(pages 1 and 32 are lost too: the map is started "
     "from every fragment)",
     "pages 1 and 32 are lost too: the map is started from every fragment"},
    {Saying::EstimatedPageCount, 1,
     "估计文件页数(estimated file size in pages, page 0 being lost) {0}",
     "estimated file size in pages, page 0 being lost: {0}"},
    {Saying::NameFromFragment, 2, "文件名取自碎片(name read from page 32 of fragment) {0}: {1}",
     "name read from page 32 of fragment {0}: {1}"},
    {Saying::NameReachedFromSeveralHeads, 2,
     "第32页被多个文件头取用,不取其名(page 32 of fragment {0} is reached from several file heads; "
     "its name is given to none): {1}",
     "page 32 of fragment {0} is reached from several file heads; its name is given to none: {1}"},
    {Saying::NameFromPiecedPage, 1,
     "文件名取自拼合的第32页(name read from page 32, pieced together): {0}",
     "name read from page 32, pieced together: {0}"},
    {Saying::FoundConfirmedFragment, 1, "find fragment{0}", "found fragment {0}"},
    {Saying::FoundUnconfirmedFragment, 1, "找到未确定碎片号{0}", "found unconfirmed fragment {0}"},
    {Saying::SearchPageInfoError, 1, "get page info error,index{0}",
     "get page info error, fragment {0}"},
    {Saying::SearchMoreFound, 1, "本次找到碎片数量{0}。二次查找完毕",
     "this pass found {0} fragments; search more done"},
    {Saying::HeaderStatesMorePages, 2,
     "文件头页声明 {0} 页,数据源最多容纳 {1} 页 (the file header page states {0} pages; the "
     "source holds at most {1}; the file ends there)",
     "the file header page states {0} pages; the source holds at most {1}; the file ends there"},
    {Saying::CreateMdfFinished, 1, "组合MDF完成(CREATE MDF finished): {0}",
     "CREATE MDF finished: {0}"},
    {Saying::NewerCopyWritten, 2,
     "采用较新副本(a newer copy that verifies is written) {0}, LSN {1}",
     "a newer copy that verifies is written: page {0}, LSN {1}"},
    {Saying::TableHit, 1, "表受损(table hit) {0}", "table hit: {0}"},
    {Saying::SplitSearch, 0, "跨簇页查找(split-page search)", "split-page search"},
    {Saying::SplitPagePieced, 1,
     "跨簇页已拼合(page pieced together from clusters no fragment claims) {0}",
     "page pieced together from clusters no fragment claims: {0}"},
    {Saying::SplitPageFollowedFile, 1,
     "跨簇页按文件的簇链拼合(page pieced along the runs of the file that holds it) {0}",
     "page pieced along the runs of the file that holds it: {0}"},
    {Saying::SplitPageAmbiguous, 1,
     "跨簇页有多个可能,未拼合(several pieces fit and none continues the run; page not pieced) {0}",
     "several pieces fit and none continues the run; page not pieced: {0}"},
    {Saying::SplitSearchDone, 3,
     "跨簇页查找(split-page search): {0}/{1} pages, {2} unclaimed clusters",
     "split-page search: {0}/{1} pages, {2} unclaimed clusters"},
    {Saying::SplitSearchReads, 2,
     "跨簇页查找: 扫描的扇区和(the scan's sector sums) {0} 段, 重读源(the source read again) {1} "
     "段",
     "split-page search: {0} stretches from the scan's sector sums, {1} read again from the "
     "source"},
    {Saying::Stopped, 0, "已停止(stopped)", "stopped"},
    {Saying::WritingFile, 1, "组合MDF(CREATE MDF): {0}", "writing {0}"},
    {Saying::Success, 0, "success", "success"},
    {Saying::Saved, 0, "saved", "saved"},
    {Saying::ChooserSaved, 0, "保存完毕", "saved"},
    {Saying::ProcessDone, 0, "process done", "process done"},
    {Saying::InvalidDrive, 0, "invaid driver！", "invalid drive"},
    {Saying::ChooseSourceFirst, 0, "choose datasource first！", "choose a data source first"},
    {Saying::ListOfAnotherSource, 1,
     "碎片列表属于另一个数据源 (the fragment list was found on {0}, and its pages are read from "
     "there: choose that source again, or scan this one for a new list)",
     "the fragment list was found on {0}, and its pages are read from there: choose that source "
     "again, or scan this one for a new list"},
    {Saying::CannotOpenFile, 0, "error,无法打开文件", "error, cannot open the file"},
    {Saying::CannotCreateFile, 2, "error,无法创建文件{0} ({1})",
     "error, cannot create the file {0} ({1})"},
    {Saying::Statistics, 2, "统计结果:碎片数量为{0}总大小为:{1}KB",
     "statistics: {0} fragments, {1} KB in all"},
};

const Wordings* wordingsOf(Saying saying) {
    const auto it = std::find_if(std::begin(kWordings), std::end(kWordings),
                                 [saying](const Wordings& w) { return w.saying == saying; });
    return it == std::end(kWordings) ? nullptr : it;
}

}  // namespace

std::string worded(const Said& said, Wording wording) {
    const Wordings* w = wordingsOf(said.saying);
    if (!w) return {};
    // A code given too few values says its fields empty rather than failing the whole job.
    fmt::dynamic_format_arg_store<fmt::format_context> args;
    for (int i = 0; i < w->values; ++i)
        args.push_back(static_cast<std::size_t>(i) < said.values.size()
                           ? said.values[static_cast<std::size_t>(i)]
                           : std::string());
    return fmt::vformat(wording == Wording::English ? w->english : w->window, args);
}

bool isConfirmation(Saying saying) {
    return saying == Saying::Success || saying == Saying::Saved || saying == Saying::ChooserSaved ||
           saying == Saying::ProcessDone;
}

}  // namespace mdf
