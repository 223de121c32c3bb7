// snaprover entry point: start-up sequence common to all actions, then one
// action.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common_routines.h"
#include "snaprover.h"

using namespace snaprover;

namespace {

// Started with a standard descriptor closed, the log file would be opened as
// that descriptor: as standard error every record went into it twice, and as
// standard input or output the session process connects it to the null device,
// which lost the session's log. The null device takes the free places first.
void OpenStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0 && null_fd != fd) close(null_fd);
        }
    }
}

int Run(int argc, char** argv) {
    OpenStandardDescriptors();
    Context& ctx = Ctx();
    // The database password passes through this process.
    common_routines::DisableCoreDumps();
    const char* pghome = std::getenv("PGHOME");
    if (pghome == nullptr || *pghome == '\0') {
        PrintLine(std::string("PGHOME environment variable is undefined. ") + (argc > 0 ? argv[0] : "snaprover") +
                  " may work incorrectly.\n");
    } else {
        ctx.pghome = pghome;
    }
    ParseCommandLine(argc, argv);

    const std::string& dir = ctx.opt.label_dir;
    if (dir.empty() || dir[0] != '/') {
        PrintLine("path \"" + dir + "\" should be absolute");
        return 1;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        PrintLine("directory not found: \"" + dir + "\" -> create");
        if (mkdir(dir.c_str(), 0777) != 0) {
            throw std::runtime_error("cannot create directory \"" + dir + "\": " + std::strerror(errno));
        }
    }
    ctx.state_path = ctx.LabelFile("backup_state");
    ctx.wal_state_path = ctx.LabelFile("wal_backup_state");
    ctx.label_path = ctx.LabelFile("backup_label");
    ctx.tablespace_map_path = ctx.LabelFile("tablespace_map");
    ctx.data_hist = History(ctx.state_path);
    ctx.wal_hist = History(ctx.wal_state_path);
    ctx.log.Open(ctx.LabelFile("snapwarden.log"), ctx.opt.session_id);

    const std::string& action = ctx.opt.action;
    if (action == "start") start_backup();
    else if (action == "stop") stop_backup();
    else if (action == "wal-backup-started") wal_backup_started();
    else if (action == "wal-backup-ok") wal_backup_done();
    else if (action == "wal-backup-failed") wal_backup_failed();
    else if (action == "wait-start") wait_start();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const ExitRequest& request) {
        return request.status;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "snaprover: unexpected failure: %s\n", e.what());
        return 1;
    } catch (...) {
        std::fprintf(stderr, "snaprover: unexpected failure\n");
        return 1;
    }
}
