#pragma once

// The command-line program run in the background (stdout and stderr into a file) to be stopped
// or killed while it works, and the preloaded faults that slow its reads or make some fail. For
// the end-to-end tests, which define MDF_CLI and MDF_FAULT_PRELOAD.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace mdf::test {

struct Background {
    pid_t pid = 0;
    std::string log;
    int status = -1;

    Background(std::vector<std::string> args, std::string logPath,
               const std::vector<std::string>& extraEnvironment = {})
        : log(std::move(logPath)) {
        args.insert(args.begin(), MDF_CLI);
        // A variable given replaces the inherited one (the first of two is the one that counts).
        auto overridden = [&](const std::string& entry) {
            const std::string name = entry.substr(0, entry.find('=') + 1);
            return std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                               [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        };
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (!overridden(*e)) env.emplace_back(*e);
        env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid, MDF_CLI, &actions, nullptr, argv.data(), envp.data()) != 0) pid = 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Background() {
        if (pid != 0 && status == -1) {
            ::kill(pid, SIGKILL);
            wait();
        }
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Waits until the output holds text (true), or the program ended or the time ran out.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds most) {
        const auto end = std::chrono::steady_clock::now() + most;
        while (std::chrono::steady_clock::now() < end) {
            if (output().find(text) != std::string::npos) return true;
            if (pid == 0 || ::waitpid(pid, &status, WNOHANG) == pid) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // The exit status, or -1 when the program did not exit by itself (a signal ended it).
    int wait() {
        if (pid != 0 && status == -1) ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int signalAndWait(int sig) {
        if (pid != 0 && status == -1) ::kill(pid, sig);
        return wait();
    }
    // Ctrl-C after a while; the exit status, or -1 when the program did not exit by itself.
    int interruptAfter(std::chrono::milliseconds wait) {
        if (pid == 0) return -1;
        std::this_thread::sleep_for(wait);
        return signalAndWait(SIGINT);
    }
    std::string output() const {
        std::ifstream in(log);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

// The image read at 250 MiB/s at most (msPerMib 4): 1 GiB then takes over 4 s, so that Ctrl-C
// after 1.5 s finds the scan halfway however fast the machine is.
inline std::vector<std::string> slowReads(const std::string& image, int msPerMib = 4) {
    return {"LD_PRELOAD=" MDF_FAULT_PRELOAD,
            "MDF_FAULT_FILE=" + std::filesystem::canonical(image).string(),
            "MDF_FAULT_SLOW_MS_PER_MIB=" + std::to_string(msPerMib),
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

// Reads of count sectors from first on fail, as on a disk with bad sectors.
inline std::vector<std::string> failingReads(const std::string& image, std::int64_t first,
                                             std::int64_t count) {
    return {"LD_PRELOAD=" MDF_FAULT_PRELOAD,
            "MDF_FAULT_FILE=" + std::filesystem::canonical(image).string(),
            "MDF_FAULT_EIO=" + std::to_string(first) + ":" + std::to_string(count),
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

}  // namespace mdf::test
