// Stands in for the server program that guardinit runs. Tests install it as
// "postgres" beside a copy of guardinit and steer it through the environment
// (which guardinit passes on to its children):
//   FAKE_PG_VERSION_LINE  printed for -V instead of the expected version line
//   FAKE_PG_RECORD_DIR    where each run is recorded (required except for -V)
//   FAKE_PG_EXIT          "run:status,..." exit status of chosen runs (default 0)
//   FAKE_PG_CLOSE_STDIN   number of the run that closes its standard input unread
// A -V run writes the PGDATA it saw to version.pgdata. Run N (counted from 1)
// writes run-N.args (one argument per line, argv[0] first), run-N.stdin (all
// input), run-N.stdout (where its standard output points) and run-N.pgdata.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) {
        std::fprintf(stderr, "fake postgres: cannot write %s\n", path.c_str());
        std::exit(99);
    }
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Number of this run: one more than the runs recorded so far.
int NextRun(const std::string& dir) {
    std::string counter = dir + "/runs";
    int n = 0;
    std::ifstream(counter) >> n;
    WriteFile(counter, std::to_string(n + 1));
    return n + 1;
}

int ExitStatusFor(int run) {
    std::istringstream list(Env("FAKE_PG_EXIT"));
    std::string item;
    while (std::getline(list, item, ',')) {
        auto colon = item.find(':');
        if (colon != std::string::npos && std::stoi(item.substr(0, colon)) == run)
            return std::stoi(item.substr(colon + 1));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = Env("FAKE_PG_RECORD_DIR");
    if (argc == 2 && std::strcmp(argv[1], "-V") == 0) {
        const char* line = std::getenv("FAKE_PG_VERSION_LINE");
        std::fputs(line ? line : "postgres (ZurezovEVA VO) 4.6.0 (11.14)\n", stdout);
        if (!dir.empty()) WriteFile(dir + "/version.pgdata", Env("PGDATA"));
        return 0;
    }
    if (dir.empty()) {
        std::fputs("fake postgres: FAKE_PG_RECORD_DIR is not set\n", stderr);
        return 98;
    }

    const int run = NextRun(dir);
    const std::string prefix = dir + "/run-" + std::to_string(run);
    std::string args;
    for (int i = 0; i < argc; ++i) args += std::string(argv[i]) + "\n";
    WriteFile(prefix + ".args", args);
    WriteFile(prefix + ".pgdata", Env("PGDATA"));
    char target[PATH_MAX] = {};
    if (readlink("/proc/self/fd/1", target, sizeof target - 1) < 0) std::strcpy(target, "?");
    WriteFile(prefix + ".stdout", target);

    std::string input;
    if (Env("FAKE_PG_CLOSE_STDIN") == std::to_string(run)) {
        close(0);
    } else {
        input.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    WriteFile(prefix + ".stdin", input);
    return ExitStatusFor(run);
}
