#pragma once

#include <optional>
#include <string>

#include "report/reporter.h"

class QWidget;
class QString;

namespace mdf::ui {

// Every question the window puts to the user goes through here, so that tests can script the
// answers and record what was asked. Texts are UTF-8.
class Dialogs {
  public:
    virtual ~Dialogs() = default;

    // A modal message box with an OK button.
    virtual void message(const std::string& text, const std::string& caption,
                         MessageIcon icon = MessageIcon::None) = 0;
    // A modal Yes/No box; true for Yes.
    virtual bool askYesNo(const std::string& text, const std::string& caption) = 0;
    // File pickers; nothing when cancelled or empty. filter uses the "名称|模式|名称|模式" form.
    virtual std::optional<std::string> openFile(const std::string& title,
                                                const std::string& filter) = 0;
    virtual std::optional<std::string> saveFile(const std::string& title, const std::string& filter,
                                                const std::string& defaultName) = 0;
    virtual std::optional<std::string> chooseFolder(const std::string& title) = 0;
};

// The real boxes and pickers, parented to the window.
class QtDialogs : public Dialogs {
  public:
    explicit QtDialogs(QWidget* parent) : parent_(parent) {}

    void message(const std::string& text, const std::string& caption, MessageIcon icon) override;
    bool askYesNo(const std::string& text, const std::string& caption) override;
    std::optional<std::string> openFile(const std::string& title,
                                        const std::string& filter) override;
    std::optional<std::string> saveFile(const std::string& title, const std::string& filter,
                                        const std::string& defaultName) override;
    std::optional<std::string> chooseFolder(const std::string& title) override;

  private:
    QWidget* parent_;
};

// "镜像文件(*.img)|*.img|所有文件(*.*)|*" as Qt writes it: "镜像文件(*.img) (*.img);;所有文件(*.*)
// (*)".
QString qtFilter(const std::string& filter);

}  // namespace mdf::ui
