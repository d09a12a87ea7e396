#include "cli/terminal_chooser.h"

#include <fmt/core.h>

#include <string>

#include "analysis/candidate_choice.h"
#include "cli/language.h"
#include "source/text_numbers.h"

namespace mdf::cli {

std::optional<std::size_t> TerminalChooser::chooseNextFragment(
    const std::vector<std::size_t>& group, std::int32_t lastChosen) {
    auto print = [](const char* label, const std::array<std::string, 6>& row) {
        fmt::print(stderr, "{:>6}  {:>8} {:>12} {:>10} {:>10} {:>14} {:>14}\n", label, row[0],
                   row[1], row[2], row[3], row[4], row[5]);
    };
    const bool zh = console().language == Language::Chinese;
    fmt::print(stderr, "{}\n",
               zh ? "符合超过1个,请选择后续碎片 (more than one fragment fits; choose the next one)"
                  : "more than one fragment fits; choose the next one");
    if (zh)
        print("", {"序号", "碎片大小(KB)", "开始页面号", "结束页面号", "开始扇区", "结束扇区"});
    else
        print("", {"no.", "size (KB)", "first page", "end page", "first sector", "end sector"});
    print(zh ? "上一" : "last", chooserRow(list_, lastChosen));
    for (std::size_t k = 0; k < group.size(); ++k) {
        const std::int32_t r = index_[group[k]].recordIndex;
        print(std::to_string(k + 1).c_str(), chooserRow(list_, r));
        if (pages_)
            fmt::print(stderr, "        {}: {}\n", zh ? "页校验(pages verified)" : "pages verified",
                       candidateEvidenceText(*pages_, list_[static_cast<std::size_t>(r)]));
    }
    decision_.beginQuestion();
    while (decision_.state == ChooserDecision::State::Waiting) {
        fmt::print(stderr, "row 1-{} (c to cancel): ", group.size());
        char line[64] = {};
        if (!std::fgets(line, sizeof line, in_)) {
            decision_.closed();
            break;
        }
        std::string answer(line);
        while (!answer.empty() &&
               (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' '))
            answer.pop_back();
        if (answer == "c" || answer == "C") {
            decision_.cancel();
        } else if (auto row = parseInteger(answer);
                   row && *row >= 1 && *row <= static_cast<std::int64_t>(group.size())) {
            decision_.rowClicked(static_cast<std::int32_t>(*row - 1));
            decision_.confirm({});
        } else {
            fmt::print(stderr, "not a row of the list: {}\n", answer);
        }
    }
    return decision_.answer(group.size());
}

}  // namespace mdf::cli
