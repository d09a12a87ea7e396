#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ui/dialogs.h"

namespace mdf::ui::test {

// Answers the window's questions from a script and records everything it was asked or told.
// A question the script has no answer for is recorded as unexpected and answered with a cancel.
class ScriptedDialogs : public Dialogs {
  public:
    struct Asked {
        std::string kind;     // message, yesno, open, save, folder
        std::string text;     // message text or picker title
        std::string caption;  // message caption, or the picker's filter
        std::string defaultName;
        MessageIcon icon = MessageIcon::None;
    };

    std::deque<std::optional<std::string>> paths;  // open, save and folder answers, in order
    std::deque<bool> yesNo;
    std::vector<Asked> asked;
    std::vector<std::string> unexpected;

    void message(const std::string& text, const std::string& caption, MessageIcon icon) override {
        asked.push_back({"message", text, caption, {}, icon});
    }
    bool askYesNo(const std::string& text, const std::string& caption) override {
        asked.push_back({"yesno", text, caption, {}, MessageIcon::None});
        if (yesNo.empty()) {
            unexpected.push_back("yes/no: " + text);
            return false;
        }
        const bool answer = yesNo.front();
        yesNo.pop_front();
        return answer;
    }
    std::optional<std::string> openFile(const std::string& title,
                                        const std::string& filter) override {
        return path("open", title, filter, {});
    }
    std::optional<std::string> saveFile(const std::string& title, const std::string& filter,
                                        const std::string& defaultName) override {
        return path("save", title, filter, defaultName);
    }
    std::optional<std::string> chooseFolder(const std::string& title) override {
        return path("folder", title, {}, {});
    }

    // "caption: text" of every message box shown, in order.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& a : asked)
            if (a.kind == "message") out.push_back(a.caption + ": " + a.text);
        return out;
    }
    const Asked* last(const std::string& kind) const {
        for (auto it = asked.rbegin(); it != asked.rend(); ++it)
            if (it->kind == kind) return &*it;
        return nullptr;
    }

  private:
    std::optional<std::string> path(const std::string& kind, const std::string& title,
                                    const std::string& filter, const std::string& defaultName) {
        asked.push_back({kind, title, filter, defaultName, MessageIcon::None});
        if (paths.empty()) {
            unexpected.push_back(kind + ": " + title);
            return std::nullopt;
        }
        auto answer = paths.front();
        paths.pop_front();
        return answer;
    }
};

}  // namespace mdf::ui::test
