#pragma once

// What tests see of a snaprover backup session from outside: the newest state
// recorded for it in a backup history text, and its detached session process.

#include <sys/types.h>

#include <filesystem>
#include <regex>
#include <string>

#include "test_support.h"

namespace session_probe {

// Newest state recorded for `session` in the history text ("" when none), read
// the way a poller reads it.
inline std::string NewestState(const std::string& history, const std::string& session) {
    const std::regex record("\\{\"state\": \"([a-z]+)\", \"session_id\": \"" + session + "\"");
    std::string state;
    for (auto it = std::sregex_iterator(history.begin(), history.end(), record); it != std::sregex_iterator(); ++it) {
        state = (*it)[1];
    }
    return state;
}

// The session process of `session` (its command line is that of "start"), or -1.
inline pid_t SessionProcess(const std::string& session) {
    const std::string marker = std::string("--session-id") + '\0' + session + '\0';
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        try {
            const std::string cmdline = testsupport::ReadFileOrDie(e.path() / "cmdline");
            if (cmdline.find("snaprover") != std::string::npos && cmdline.find(marker) != std::string::npos) {
                return std::stoi(name);
            }
        } catch (...) {
        }
    }
    return -1;
}

}  // namespace session_probe
