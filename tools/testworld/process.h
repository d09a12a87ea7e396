#pragma once

#include <string>
#include <vector>

namespace mdf::test {

struct CommandResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs a program (looked up on PATH, with /sbin and /usr/sbin added) and waits for it.
CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnvironment = {},
                         const std::string& stdinPath = "/dev/null");
// Runs it and throws with its output when it does not exit with 0.
std::string runChecked(const std::vector<std::string>& argv,
                       const std::vector<std::string>& extraEnvironment = {},
                       const std::string& stdinPath = "/dev/null");
bool commandExists(const std::string& name);

}  // namespace mdf::test
