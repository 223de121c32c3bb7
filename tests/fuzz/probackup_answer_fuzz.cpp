// pg_probackup's "show --archive --format=json" output as snaprover's WAL
// tracking reads it: a stand-in pg_probackup under PGHOME prints the fuzz
// input, and the WAL history gets its "started" record from it. Any output
// gives a record or a logged failure, and the history stays a readable list.
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "fuzz_scratch.h"
#include "snaprover.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = fuzz::ScratchDir();
    static const std::string output = dir + "/probackup.out";
    static const bool ready = [] {
        std::filesystem::create_directories(dir + "/bin");
        const std::string script = "#!/bin/sh\nexec cat '" + output + "'\n";
        fuzz::WriteFile(dir + "/bin/pg_probackup", reinterpret_cast<const uint8_t*>(script.data()), script.size());
        chmod((dir + "/bin/pg_probackup").c_str(), 0755);
        snaprover::Context& ctx = snaprover::Ctx();
        ctx.pghome = dir;
        ctx.opt.label_dir = dir;
        ctx.opt.session_id = "fuzz";
        ctx.state_path = dir + "/backup_state";
        ctx.wal_state_path = dir + "/wal_backup_state";
        ctx.data_hist = snaprover::History(ctx.state_path);
        ctx.wal_hist = snaprover::History(ctx.wal_state_path);
        return true;
    }();
    (void)ready;
    fuzz::WriteFile(output, data, size);
    std::filesystem::remove(snaprover::Ctx().wal_state_path);
    snaprover::wal_backup_started();
    snaprover::Ctx().wal_hist.get_state();
    if (std::filesystem::exists(snaprover::Ctx().wal_state_path) && !snaprover::Ctx().wal_hist.read_history()) {
        std::abort();
    }
    return 0;
}
