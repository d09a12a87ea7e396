#include "ui/assembly_report.h"

#include <algorithm>

namespace mdf::ui {

namespace {
std::string listed(const std::vector<std::int32_t>& pages) {
    std::string out;
    for (std::size_t i = 0; i < pages.size() && i < 20; ++i)
        out += (i ? " " : "") + std::to_string(pages[i]);
    if (pages.size() > 20) out += " ...";
    return out;
}

std::string n(std::int64_t v) {
    return std::to_string(v);
}
std::string n(std::size_t v) {
    return std::to_string(v);
}
}  // namespace

AssemblyReport assemblyReport(const AssemblyOutcome& outcome,
                              const std::optional<MissingPageReport>& lastCheck,
                              const std::set<std::int32_t>& unreadableInAnalysis) {
    AssemblyReport r;
    std::vector<std::int32_t> unreadable = outcome.unreadablePages;
    unreadable.insert(unreadable.end(), unreadableInAnalysis.begin(), unreadableInAnalysis.end());
    std::sort(unreadable.begin(), unreadable.end());
    unreadable.erase(std::unique(unreadable.begin(), unreadable.end()), unreadable.end());

    r.lines.push_back("校验(VERIFY): 已验证 " + n(outcome.verifiedPages) +
                      " 页(verified), 无保护 " + n(outcome.unprotectedPages) +
                      " 页(unprotected), 空页 " + n(outcome.emptyPages) + " 页(empty), 校验失败 " +
                      n(outcome.failedPages.size()) + " 页(failing), 读取失败 " +
                      n(unreadable.size()) + " 页(unreadable), 补零 " + n(outcome.zeroFilledPages) +
                      " 页(zero-filled)");
    if (!outcome.failedPages.empty())
        r.lines.push_back("校验失败页(pages failing verification): " + listed(outcome.failedPages));
    if (!unreadable.empty())
        r.lines.push_back("读取失败页(unreadable pages): " + listed(unreadable));
    if (!outcome.restoredPages.empty())
        r.lines.push_back("拼接修复页(pages put together): " + listed(outcome.restoredPages));
    if (lastCheck && lastCheck->completed) {
        r.lines.push_back("遗漏页(missing allocated pages): " + n(lastCheck->pages.size()) +
                          ", 遗漏PFS页(missing PFS pages): " + n(lastCheck->pfsPages.size()));
    } else {
        r.lines.push_back("未检查遗漏页(CHECK was not run on this combination)");
    }
    if (outcome.cutPages > 0)
        r.lines.push_back("截短 " + n(outcome.cutPages) +
                          " 页(pages cut: more than the source holds)");
    r.lines.push_back("SHA-256: " + outcome.sha256);

    const bool checked = lastCheck && lastCheck->completed;
    const bool nothingMissing = checked && lastCheck->pages.empty() && lastCheck->pfsPages.empty();
    r.complete = outcome.written && outcome.failedPages.empty() && unreadable.empty() &&
                 nothingMissing && outcome.cutPages == 0;
    if (r.complete) {
        r.lines.push_back("完整(COMPLETE): " + n(outcome.pages) + " 页(pages)");
        return r;
    }
    std::string what;
    auto add = [&](const std::string& part) { what += (what.empty() ? "" : "; ") + part; };
    if (checked && !lastCheck->pages.empty())
        add("遗漏 " + n(lastCheck->pages.size()) +
            " 个已分配页(missing allocated pages): " + listed(lastCheck->pages));
    if (checked && !lastCheck->pfsPages.empty())
        add("遗漏PFS页(missing PFS pages): " + listed(lastCheck->pfsPages));
    if (!outcome.failedPages.empty())
        add(n(outcome.failedPages.size()) + " 页校验失败(damaged pages)");
    if (!unreadable.empty()) add(n(unreadable.size()) + " 页读取失败(unreadable pages)");
    if (outcome.cutPages > 0) add(n(outcome.cutPages) + " 页被截短(pages cut)");
    const bool known = !what.empty();
    if (!checked) add("未检查遗漏页,完整性未知(missing pages not checked: completeness unknown)");
    r.lines.push_back((known ? "不完整(PARTIAL): " : "未确认(NOT CONFIRMED): ") + what);
    // A box only for what is known to be missing or damaged.
    if (known) r.warning = "MDF文件不完整(THE MDF FILE IS PARTIAL): " + what;
    return r;
}

}  // namespace mdf::ui
