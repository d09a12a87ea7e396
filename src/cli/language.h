#pragma once

#include <string>
#include <string_view>

namespace mdf::cli {

// The language of the command line's own texts, and of the system's texts the core hands over as
// codes (report/saying.h): under zh as the window words them, under en in English alone.
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

// A text of the command line itself (a fmt format written in English) in the language of the run:
// the Chinese form under zh, when there is one, with the same {} fields in the same order.
std::string_view localized(std::string_view english, Language language);

// The table behind localized(), for tests that check each entry keeps the fields of its English.
struct LocalizedText {
    std::string_view english;
    std::string_view chinese;
};
const LocalizedText* localizedTexts(std::size_t& count);

}  // namespace mdf::cli
