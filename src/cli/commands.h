#pragma once

#include <CLI/CLI.hpp>

#include "cli/exit_codes.h"

namespace mdf::cli {

void addSectorCommands(CLI::App& app, ExitCode& exit);
void addSourceCommands(CLI::App& app, ExitCode& exit);
void addPartitionCommands(CLI::App& app, ExitCode& exit);
void addScanCommands(CLI::App& app, ExitCode& exit);
void addRecoveryCommands(CLI::App& app, ExitCode& exit);
void addTableCommands(CLI::App& app, ExitCode& exit);

}  // namespace mdf::cli
