#include "assembly/verdict_report.h"

namespace mdf {
namespace {

struct NamedList {
    const char* key;      // in the JSON
    const char* chinese;  // in the lines, before the English in brackets
    const char* english;
    const std::vector<std::int32_t> VerdictFindings::*list;
};

const NamedList kLists[] = {
    {"missing_allocated", "遗漏已分配页", "allocated pages missing",
     &VerdictFindings::missingAllocated},
    {"missing_allocation_unknown", "遗漏页,分配未知",
     "pages missing; no allocation page is left to tell whether they were in use",
     &VerdictFindings::missingAllocationUnknown},
    {"unreadable", "读取失败页", "allocated pages unreadable", &VerdictFindings::unreadable},
    {"failing_protection", "校验失败页", "pages failing their checksum or torn bits",
     &VerdictFindings::failingProtection},
    {"failing_structure", "结构错误页", "pages failing their structure",
     &VerdictFindings::failingStructure},
    {"unverifiable", "无法验证页", "pages without protection, pieced together: unverifiable",
     &VerdictFindings::unverifiable},
    {"other_database", "其他数据库的页", "pages of another database or allocation unit",
     &VerdictFindings::otherDatabase},
    {"stale_copy", "旧副本页", "older copies written where a newer one verifies",
     &VerdictFindings::staleCopy},
    {"taken_without_evidence", "无证据取用页",
     "pages taken without evidence (another database's fragments fit as well)",
     &VerdictFindings::takenWithoutEvidence},
};

// "中文(English)" as the window shows it, or the English alone.
std::string words(const char* chinese, const std::string& english, VerdictWords language) {
    if (language == VerdictWords::English) return english;
    return std::string(chinese) + "(" + english + ")";
}

}  // namespace

std::vector<std::pair<std::int32_t, std::int32_t>> pageRanges(
    const std::vector<std::int32_t>& ids) {
    std::vector<std::pair<std::int32_t, std::int32_t>> out;
    for (std::int32_t id : ids) {
        if (!out.empty() && out.back().second + 1 == id)
            out.back().second = id;
        else
            out.emplace_back(id, id);
    }
    return out;
}

std::string rangesText(const std::vector<std::int32_t>& ids, std::size_t most) {
    const auto ranges = pageRanges(ids);
    std::string text;
    for (std::size_t i = 0; i < ranges.size() && i < most; ++i) {
        const auto [first, last] = ranges[i];
        text += (i ? " " : "") + std::to_string(first) +
                (last > first ? "-" + std::to_string(last) : std::string());
    }
    if (ranges.size() > most) text += " ...";
    return text;
}

nlohmann::json verdictJson(const Verdict& v) {
    auto ranges = [](const std::vector<std::int32_t>& ids) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& [first, last] : pageRanges(ids))
            out.push_back({first, last});
        return out;
    };
    nlohmann::json j = {{"status", v.complete ? "complete" : "partial"},
                        {"pages", v.pages},
                        {"allocated_pages", v.allocatedPages},
                        {"verified_pages", v.verifiedPages},
                        {"sound_pages_without_protection", v.soundPages},
                        {"pages_cut", v.pagesCut}};
    for (const NamedList& l : kLists) {
        const auto& list = v.findings.*l.list;
        j[l.key] = {{"count", list.size()}, {"ranges", ranges(list)}};
    }
    nlohmann::json links = nlohmann::json::array();
    for (const auto& [a, b] : v.findings.brokenLinks)
        links.push_back({a, b});
    j["broken_links"] = links;
    j["newer_copies_taken"] = ranges(v.newerCopiesTaken);
    return j;
}

std::vector<std::string> verdictLines(const Verdict& v, VerdictWords language) {
    const bool both = language == VerdictWords::Both;
    std::vector<std::string> lines;
    const std::string counts = "allocated pages " + std::to_string(v.allocatedPages) +
                               "; verified by their protection " + std::to_string(v.verifiedPages) +
                               "; without protection, read whole and sound " +
                               std::to_string(v.soundPages);
    lines.push_back(
        words(v.complete ? "完整" : "不完整", v.complete ? "COMPLETE" : "PARTIAL", language) +
        ": " +
        (both ? "已分配 " + std::to_string(v.allocatedPages) + " 页 (" + counts + ")" : counts));
    for (const NamedList& l : kLists) {
        const auto& list = v.findings.*l.list;
        if (!list.empty())
            lines.push_back(words(l.chinese, l.english, language) + " " +
                            std::to_string(list.size()) + ": " + rangesText(list));
    }
    if (!v.findings.brokenLinks.empty()) {
        std::string pairs;
        for (std::size_t i = 0; i < v.findings.brokenLinks.size() && i < 10; ++i)
            pairs += (i ? " " : "") + std::to_string(v.findings.brokenLinks[i].first) + "<>" +
                     std::to_string(v.findings.brokenLinks[i].second);
        lines.push_back(words("页链接不一致", "page links that disagree", language) + " " +
                        std::to_string(v.findings.brokenLinks.size()) + ": " + pairs +
                        (v.findings.brokenLinks.size() > 10 ? " ..." : ""));
    }
    if (v.pagesCut > 0)
        lines.push_back(
            both ? "截短 " + std::to_string(v.pagesCut) +
                       " 页 (pages cut: the file header asks for more than the source held)"
                 : std::to_string(v.pagesCut) +
                       " pages cut: the file header asks for more than the source held");
    if (!v.newerCopiesTaken.empty())
        lines.push_back(words("采用较新副本", "newer copies written", language) + " " +
                        std::to_string(v.newerCopiesTaken.size()) + ": " +
                        rangesText(v.newerCopiesTaken));
    return lines;
}

}  // namespace mdf
