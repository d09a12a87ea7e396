#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scan/fragment_list.h"
#include "source/output_file.h"

namespace mdf {

class PageOrigin;
class Reporter;

// The decisions of the dialog that asks which fragment continues the chain: the answer it is
// waiting for, and the row the user picked. The dialog (or a script in tests) drives it.
struct ChooserDecision {
    enum class State { Waiting, Confirmed, Cancelled };
    State state = State::Waiting;
    std::int32_t chosenRow = 0;  // kept between the questions of one analysis

    void beginQuestion() { state = State::Waiting; }
    // A click in either list picks the candidate list's current row, if it has one.
    void rowClicked(std::int32_t currentRow);
    // Confirm: the first ticked row wins over the row clicked last.
    void confirm(const std::vector<bool>& ticked);
    void cancel() { state = State::Cancelled; }
    // The window closed without an answer.
    void closed();
    // The group member chosen, or nothing when cancelled or the row is not in the list.
    std::optional<std::size_t> answer(std::size_t rows) const;
};

// One row of the chooser's lists: the record's line number + 1, then sizeKB, beginPage, endPage,
// fsec, esec.
std::array<std::string, 6> chooserRow(const FragmentList& list, std::int32_t recordIndex);

// Asks which member of a candidate group (positions in the fragment index, 2 to 13 of them)
// continues the chain after lastChosen; nothing means the user cancelled.
class NextFragmentChooser {
  public:
    virtual ~NextFragmentChooser() = default;
    virtual std::optional<std::size_t> chooseNextFragment(const std::vector<std::size_t>& group,
                                                          std::int32_t lastChosen) = 0;
};

// Writes the pages of the ticked candidates, one file per fragment named after its first sector
// ("2048.hex"), raw as read. Messages: "error,无法创建文件" + file name, "read disk error",
// "保存完毕" (caption "提示").
void saveCandidatesAsHex(PageOrigin& pages, const FragmentList& list,
                         const std::vector<std::int32_t>& recordIndices, const std::string& folder,
                         Reporter& reporter, const OutputGuard& guard = {});

}  // namespace mdf
