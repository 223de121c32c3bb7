#pragma once

// Shared by the snaprover tests: the start and stop functions a test server
// gets, and what tests see of a backup session from outside (the newest state
// recorded for it in a backup history text, and its detached session process).

#include <sys/types.h>

#include <filesystem>
#include <regex>
#include <string>

#include "test_support.h"

namespace session_probe {

// Start and stop functions of the older server interface, over the new ones.
// `start_delay` and `stop_delay` (seconds) make a database whose calls run
// into statement timeouts.
inline std::string BackupFunctions(int start_delay = 0, int stop_delay = 0) {
    return "CREATE FUNCTION public.pg_start_backup(label text, fast boolean, exclusive boolean) RETURNS pg_lsn "
           "LANGUAGE sql AS $$ SELECT pg_sleep(" + std::to_string(start_delay) +
           "); SELECT pg_backup_start(label, true) $$;\n"
           "CREATE FUNCTION public.pg_stop_backup(exclusive boolean, OUT lsn pg_lsn, OUT labelfile text, "
           "OUT spcmapfile text) RETURNS record LANGUAGE sql AS $$ SELECT pg_sleep(" + std::to_string(stop_delay) +
           "); SELECT * FROM pg_backup_stop(true) $$;\n";
}

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
