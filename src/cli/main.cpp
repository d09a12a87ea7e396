#include <CLI/CLI.hpp>
#include <exception>

#include "cli/commands.h"

int main(int argc, char** argv) {
    using namespace mdf::cli;
    CLI::App app{
        "mdfrecover: rebuilds a lost SQL Server data file (.mdf) from a disk, a partition or an "
        "image. The source is only ever read."};
    app.require_subcommand(1);
    app.set_version_flag("--version", "mdfrecover 0.2.0");

    ExitCode exit;
    addSectorCommands(app, exit);
    addSourceCommands(app, exit);
    addScanCommands(app, exit);
    addRecoveryCommands(app, exit);

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
