// snaprover's backup and WAL history files: whatever a file holds (another
// version's records, a hand edit, a half-written file), reading it, asking the
// state, rotating, closing and appending records never crash, and what is
// written back is a list that reads again.
#include <cstdlib>
#include <string>

#include "fuzz_scratch.h"
#include "snaprover.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using snaprover::JsonValue;
    static const std::string dir = fuzz::ScratchDir();
    snaprover::Context& ctx = snaprover::Ctx();
    static const bool ready = [&] {
        ctx.opt.session_id = "fuzz";
        ctx.opt.rotate_history = 2;
        ctx.state_path = dir + "/backup_state";
        ctx.wal_state_path = dir + "/wal_backup_state";
        ctx.data_hist = snaprover::History(ctx.state_path);
        ctx.wal_hist = snaprover::History(ctx.wal_state_path);
        return true;
    }();
    (void)ready;
    // The same text as both histories: rotation of the WAL history reads the
    // start times of the backup history.
    fuzz::WriteFile(ctx.state_path, data, size);
    fuzz::WriteFile(ctx.wal_state_path, data, size);
    snaprover::rotate_wal_history();
    snaprover::rotate_data_history();
    ctx.data_hist.get_state();
    JsonValue state = JsonValue::Object();
    state.Set("state", "stopping");
    ctx.data_hist.write_state(state);
    state.Set("state", "starting");
    state.Set("session_id", "fuzz");
    ctx.data_hist.append_state(state);
    if (!ctx.data_hist.read_history()) std::abort();
    snaprover::wal_backup_done();
    return 0;
}
