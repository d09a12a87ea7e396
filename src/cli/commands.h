#pragma once

#include <CLI/CLI.hpp>

namespace mdf::cli {

// Each group registers its subcommands on the application; the callbacks set the exit code.
struct ExitCode {
    int value = 0;
};

void addSectorCommands(CLI::App& app, ExitCode& exit);
void addSourceCommands(CLI::App& app, ExitCode& exit);
void addScanCommands(CLI::App& app, ExitCode& exit);
void addRecoveryCommands(CLI::App& app, ExitCode& exit);

}  // namespace mdf::cli
