#pragma once

#include <cstdio>

#include "analysis/fragment_pages.h"
#include "analysis/next_fragment_chooser.h"
#include "scan/fragment_list.h"

namespace mdf::cli {

// The next-fragment question asked on the terminal: the fragment chosen last and the candidates
// as a table, the answer typed as a row number, or c to cancel. Given where pages are read, each
// candidate also shows how many of its pages verify and the range of their log sequence numbers.
class TerminalChooser : public NextFragmentChooser {
  public:
    TerminalChooser(const FragmentList& list, const FragmentIndex& index, std::FILE* in = stdin,
                    PageOrigin* pages = nullptr)
        : list_(list), index_(index), in_(in), pages_(pages) {}
    std::optional<std::size_t> chooseNextFragment(const std::vector<std::size_t>& group,
                                                  std::int32_t lastChosen) override;

  private:
    const FragmentList& list_;
    const FragmentIndex& index_;
    std::FILE* in_;
    PageOrigin* pages_;
    ChooserDecision decision_;
};

}  // namespace mdf::cli
