#include "analysis/next_fragment_chooser.h"

#include <filesystem>

#include "analysis/fragment_pages.h"
#include "report/reporter.h"

namespace mdf {

void ChooserDecision::rowClicked(std::int32_t currentRow) {
    if (currentRow >= 0) chosenRow = currentRow;
}

void ChooserDecision::confirm(const std::vector<bool>& ticked) {
    for (std::size_t row = 0; row < ticked.size(); ++row) {
        if (ticked[row]) {
            chosenRow = static_cast<std::int32_t>(row);
            break;
        }
    }
    state = State::Confirmed;
}

void ChooserDecision::closed() {
    if (state == State::Waiting) state = State::Cancelled;
}

std::optional<std::size_t> ChooserDecision::answer(std::size_t rows) const {
    if (state != State::Confirmed || chosenRow < 0 || static_cast<std::size_t>(chosenRow) >= rows)
        return std::nullopt;
    return static_cast<std::size_t>(chosenRow);
}

std::array<std::string, 6> chooserRow(const FragmentList& list, std::int32_t r) {
    const FragmentRecord& f = list[static_cast<std::size_t>(r)];
    return {std::to_string(r + 1),     std::to_string(f.sizeKB), std::to_string(f.beginPage),
            std::to_string(f.endPage), std::to_string(f.fsec),   std::to_string(f.esec)};
}

void saveCandidatesAsHex(PageOrigin& pages, const FragmentList& list,
                         const std::vector<std::int32_t>& recordIndices, const std::string& folder,
                         Reporter& reporter, const OutputGuard& guard) {
    std::array<std::uint8_t, 8192> page{};
    for (std::int32_t r : recordIndices) {
        const FragmentRecord& f = list[static_cast<std::size_t>(r)];
        const std::string name =
            (std::filesystem::path(folder) / (std::to_string(f.fsec) + ".hex")).string();
        OutputFile out(name, guard);
        if (!out.ok()) {
            reporter.tell(said(Saying::CannotCreateFile, name, out.error()), "提示");
            return;
        }
        for (std::int32_t i = 0; i < f.pages(); ++i) {
            page.fill(0);
            if (!readFragmentPage(pages, f.fsec, i, page)) {
                // The pages read so far are kept: they are what the user asked to look at.
                out.commit();
                reporter.showMessage("read disk error", "提示");
                return;
            }
            out.write(page);
        }
        if (!out.commit()) {
            reporter.tell(said(Saying::CannotCreateFile, name, out.error()), "提示");
            return;
        }
    }
    reporter.tell(said(Saying::ChooserSaved), "提示");
}

}  // namespace mdf
