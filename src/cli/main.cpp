#include <CLI/CLI.hpp>

#include "cli/commands.h"

int main(int argc, char** argv) {
    CLI::App app{
        "mdfrecover: rebuilds a lost SQL Server data file (.mdf) from a disk, a partition or an "
        "image. The source is only ever read."};
    app.require_subcommand(1);
    app.set_version_flag("--version", "mdfrecover 0.1.0");

    mdf::cli::ExitCode exit;
    mdf::cli::addSectorCommands(app, exit);
    mdf::cli::addSourceCommands(app, exit);
    mdf::cli::addScanCommands(app, exit);
    mdf::cli::addRecoveryCommands(app, exit);

    CLI11_PARSE(app, argc, argv);
    return exit.value;
}
