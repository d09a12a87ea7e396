#pragma once

#include <string>
#include <string_view>

namespace mdf::cli {

// The language of the command line's own texts. The system's log lines and messages were written
// in a mix of Chinese and English: under zh they are printed word for word, under en their
// Chinese parts are given in English.
enum class Language { English, Chinese };

enum class Verbosity { Quiet, Normal, Verbose };

// What every console output of one run follows: set once from the command line before any
// command runs.
struct ConsoleSettings {
    Language language = Language::English;
    Verbosity verbosity = Verbosity::Normal;
};
ConsoleSettings& console();

// Chinese when the locale (LC_ALL, else LC_MESSAGES, else LANG) is a Chinese one ("zh_CN.UTF-8",
// "zh_TW", "zh"); English otherwise.
Language languageFromLocale(const char* lcAll, const char* lcMessages, const char* lang);
Language languageFromEnvironment();

// A log line or message of the system as the console prints it. Fragment numbers in it are
// given from 1, as the fragments list numbers them ("找到碎片号5" names the sixth fragment,
// printed "找到碎片号6" under zh and "found fragment 6" under en).
std::string consoleText(std::string_view systemText, Language language);

// A text of the command line itself (a fmt format written in English) in the language of the run:
// the Chinese form under zh, when there is one, with the same {} fields in the same order.
std::string_view localized(std::string_view english, Language language);

// Whether a message of the system only confirms that something worked ("success", "保存完毕"):
// -q leaves those out; errors are always shown.
bool isConfirmation(std::string_view systemText);

// The table behind localized(), for tests that check each entry keeps the fields of its English.
struct LocalizedText {
    std::string_view english;
    std::string_view chinese;
};
const LocalizedText* localizedTexts(std::size_t& count);

}  // namespace mdf::cli
