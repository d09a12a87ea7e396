#include <CLI/CLI.hpp>
#include <exception>

#include "cli/commands.h"
#include "cli/help_text.h"
#include "source/image_format.h"

int main(int argc, char** argv) {
    using namespace mdf::cli;
    CLI::App app{kDescription, "mdfrecover"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "mdfrecover " MDF_VERSION);
    // The options of every command may be given before or after the command's name.
    app.fallthrough();
    // Usage errors are messages like every other: they start with the program's name.
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("mdfrecover: ") + e.what() + "\nRun with --help for more information.\n";
    });

    console().language = languageFromEnvironment();
    app.add_option_function<std::string>(
           "--lang",
           [](const std::string& lang) {
               console().language = lang == "zh" ? Language::Chinese : Language::English;
           },
           "Language of the messages and log lines: en or zh (default: from the locale; zh "
           "keeps the system's Chinese texts word for word)")
        ->check(CLI::IsMember({"en", "zh"}))
        ->type_name("en|zh");
    auto* quiet = app.add_flag_callback(
        "-q,--quiet", [] { console().verbosity = Verbosity::Quiet; },
        "Only errors and results: no log lines, no progress, no confirmations");
    app.add_flag_callback(
           "-v,--verbose", [] { console().verbosity = Verbosity::Verbose; },
           "Also the status of each step as it changes")
        ->excludes(quiet);

    app.add_option_function<unsigned>(
           "--threads", [](unsigned threads) { mdf::setImageDecodeThreads(threads); },
           "Threads that decompress a compressed image (E01) at a time (default: one per core)")
        ->check(CLI::Range(1u, 1024u))
        ->type_name("N");

    ExitCode exit;
    addSectorCommands(app, exit);
    addSourceCommands(app, exit);
    addPartitionCommands(app, exit);
    addScanCommands(app, exit);
    addRecoveryCommands(app, exit);
    addTableCommands(app, exit);
    // Set after the commands so that they do not repeat it; each has its own examples.
    app.footer(kFooter);
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
        if (command->get_footer().empty()) command->footer(kCommandFooter);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kBadInput;
    } catch (const std::bad_alloc&) {
        complain("out of memory");
        return kIoError;
    } catch (const std::exception& e) {
        complain("{}", e.what());
        return kIoError;
    }
    return exit.value;
}
