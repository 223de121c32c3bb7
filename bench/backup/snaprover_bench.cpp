// "snaprover start" until the session records "started", against psql running
// the same pg_start_backup call on the same server, alternating in one process.
// Counters: "per_psql" is snaprover's total time over psql's (target: at most
// 1.2; the start call's checkpoint dominates both), "session_rss_kib" the
// largest resident set of the held session process (target: under 8 MiB).
//
// Each round dirties the same number of pages first, so both checkpoints have
// the same work; the server spreads a checkpoint over three seconds (its
// shortest interval times 0.1), as a production server spreads it over minutes. The session is ended by terminating its connection, outside
// the timed part.

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "pg_server.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kFunctions =
    "CREATE FUNCTION public.pg_start_backup(label text, fast boolean, exclusive boolean) RETURNS pg_lsn "
    "LANGUAGE sql AS $$ SELECT pg_backup_start(label, fast) $$;\n"
    "CREATE TABLE filler(n int, pad text);\n";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Resident set in KiB of the process whose command line holds `marker`.
long SessionRss(const std::string& marker) {
    DIR* proc = opendir("/proc");
    long rss = 0;
    while (struct dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string base = std::string("/proc/") + e->d_name;
        std::string cmdline = ReadFile(base + "/cmdline");
        if (cmdline.find("snaprover") == std::string::npos || cmdline.find(marker) == std::string::npos) continue;
        std::istringstream status(ReadFile(base + "/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) rss = std::max(rss, std::stol(line.substr(6)));
        }
    }
    closedir(proc);
    return rss;
}

void BM_StartToStarted(benchmark::State& state) {
    testsupport::PgServer server({"checkpoint_timeout=30s", "checkpoint_completion_target=0.1"});
    server.CreateRole("bkp", "bkp-secret", "LOGIN SUPERUSER");
    server.CreateDatabase("bench", "bkp");
    server.Sql(kFunctions, "bench");
    testsupport::ScratchDir scratch;
    const std::string port = std::to_string(server.port());
    const std::string dirty = "INSERT INTO filler SELECT g, repeat('x', 500) FROM generate_series(1, 2000) g;";

    double snap_s = 0;
    double psql_s = 0;
    long rss = 0;
    int round = 0;
    for (auto _ : state) {
        ++round;
        const std::string session = "bench-" + std::to_string(round);

        server.Sql(dirty, "bench");
        auto t0 = Clock::now();
        server.Sql("SELECT pg_start_backup('bench', FALSE, FALSE);", "bench");
        psql_s += std::chrono::duration<double>(Clock::now() - t0).count();

        server.Sql(dirty, "bench");
        const std::string history = scratch / "backup_state";
        t0 = Clock::now();
        testsupport::RunResult r = testsupport::RunProgram(
            {SNAPROVER_BENCH_PROGRAM, "start", "-B", scratch.path(), "--host", "127.0.0.1", "-p", port, "-d",
             "bench", "-U", "bkp", "--password", "bkp-secret", "--session-id", session});
        if (r.exit_code != 0) {
            state.SkipWithError(("snaprover start failed: " + r.err).c_str());
            break;
        }
        const std::string started = "\"state\": \"started\", \"session_id\": \"" + session + "\"";
        while (ReadFile(history).find(started) == std::string::npos) {
            if (Clock::now() - t0 > std::chrono::seconds(120)) {
                state.SkipWithError("no \"started\" record");
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        snap_s += std::chrono::duration<double>(Clock::now() - t0).count();
        rss = std::max(rss, SessionRss(session));

        server.Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
                   "'backup_session';");
        while (server.Sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'backup_session';") !=
               "0\n") {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    state.counters["per_psql"] = psql_s > 0 ? snap_s / psql_s : 0;
    state.counters["snaprover_ms"] = round > 0 ? snap_s * 1000 / round : 0;
    state.counters["psql_ms"] = round > 0 ? psql_s * 1000 / round : 0;
    state.counters["session_rss_kib"] = static_cast<double>(rss);
}
BENCHMARK(BM_StartToStarted)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
