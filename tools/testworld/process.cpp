#include "testworld/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace mdf::test {
namespace {

std::string searchPath() {
    const char* path = std::getenv("PATH");
    return std::string(path ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
}

std::string resolve(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::string path = searchPath();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::filesystem::path candidate =
            std::filesystem::path(path.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return {};
}

}  // namespace

bool commandExists(const std::string& name) {
    return !resolve(name).empty();
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnvironment,
                         const std::string& stdinPath) {
    std::string program = resolve(argv.at(0));
    if (program.empty()) return {127, argv[0] + ": not found"};
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);

    // A variable given here replaces the one inherited: a program sees only the first of two.
    auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const auto& extra : extraEnvironment)
            replaced = replaced || name(extra) == name(entry);
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp, args;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& a : argCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return {127, std::string("cannot start ") + program + ": " + std::strerror(rc)};
    }
    CommandResult result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        result.output.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string runChecked(const std::vector<std::string>& argv,
                       const std::vector<std::string>& extraEnvironment,
                       const std::string& stdinPath) {
    CommandResult r = runCommand(argv, extraEnvironment, stdinPath);
    if (r.exitCode != 0) {
        std::string line;
        for (const auto& a : argv)
            line += a + " ";
        throw std::runtime_error(line + "exited with " + std::to_string(r.exitCode) + ":\n" +
                                 r.output);
    }
    return r.output;
}

}  // namespace mdf::test
