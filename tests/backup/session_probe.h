#pragma once

// Shared by the snaprover tests: the start and stop functions a test server
// gets, what tests see of a backup session from outside (the newest state
// recorded for it in a backup history text, and its detached session process),
// and the Patroni stand-in.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

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

// The Patroni stand-in (patroni_fake.py) serving the answer file in `dir`,
// ended however the test ends, so no stray child keeps the test's output open.
class PatroniFake {
public:
    explicit PatroniFake(const std::string& dir) {
        const std::string script = testsupport::BuildDir() + "/tests/backup/patroni_fake.py";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/usr/bin/python3", "python3", script.c_str(), dir.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // It writes its port once it listens.
        for (int i = 0; i < 3000 && pid_ > 0 && !std::filesystem::exists(dir + "/port"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (std::filesystem::exists(dir + "/port")) port_ = testsupport::ReadFileOrDie(dir + "/port");
    }
    ~PatroniFake() { Stop(); }
    // Patroni down from here on.
    void Stop() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    PatroniFake(const PatroniFake&) = delete;
    PatroniFake& operator=(const PatroniFake&) = delete;

    // Empty when the fake did not come up.
    const std::string& port() const { return port_; }

private:
    pid_t pid_ = -1;
    std::string port_;
};

}  // namespace session_probe
