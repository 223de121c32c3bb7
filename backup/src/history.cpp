// Backup and WAL state history files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/durable_file.h"
#include "common/error_code.h"
#include "snaprover.h"

namespace snaprover {

namespace {


bool SameSession(const JsonValue& record) {
    if (!record.IsObject()) return false;
    const JsonValue* sid = record.Find("session_id");
    return sid != nullptr && sid->IsString() && sid->Text() == Ctx().opt.session_id;
}

// "state" of a record, or "" when it has none.
std::string StateOf(const JsonValue& record) {
    if (!record.IsObject()) return "";
    const JsonValue* state = record.Find("state");
    return state != nullptr && state->IsString() ? state->Text() : "";
}

}  // namespace

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void WriteLabelDirFile(const std::string& path, const std::string& text) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        throw std::runtime_error("cannot write \"" + path + "\": not a regular file");
    }
    common_routines::DurableWriteOptions options;
    options.create_mode = 0666;
    options.follow_symlinks = false;
    int rc = common_routines::DurableReplaceFile(path, text.data(), text.size(), options);
    if (rc != 0) {
        throw std::runtime_error("cannot write \"" + path + "\": " + ErrorCodeToStr(rc) + " (" +
                                 std::to_string(rc) + ")");
    }
}

std::optional<JsonValue> History::read_history() {
    if (!IsRegularFile(filename_)) return std::nullopt;
    try {
        // Not through a link or into a FIFO swapped in since the check above.
        int fd = open(filename_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            int e = errno;
            if (fd >= 0) close(fd);
            throw std::runtime_error("cannot open \"" + filename_ + "\" for reading: " +
                                     (fd >= 0 ? "not a regular file" : std::strerror(e)));
        }
        std::string body;
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int e = errno;
                close(fd);
                if (n < 0) throw std::runtime_error("cannot read \"" + filename_ + "\": " + std::strerror(e));
                break;
            }
            body.append(buf, static_cast<size_t>(n));
        }
        size_t b = body.find_first_not_of(" \t\n\r\f\v");
        if (b == std::string::npos) return std::nullopt;
        size_t e = body.find_last_not_of(" \t\n\r\f\v");
        JsonValue parsed = JsonValue::Parse(body.substr(b, e - b + 1));
        if (!parsed.IsArray()) throw std::runtime_error("history is not a JSON array");
        return parsed;
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("could not load state. err = ") + e.what());
        return std::nullopt;
    }
}

std::string History::get_state() {
    std::optional<JsonValue> history = read_history();
    if (!history) return "None";
    const auto& records = history->Items();
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (!SameSession(*it)) continue;
        std::string state = StateOf(*it);
        return state.empty() ? "None" : state;
    }
    return "None";
}

void History::write_history(const JsonValue& records) { WriteLabelDirFile(filename_, records.Dump()); }

void History::append_state(const JsonValue& state) {
    try {
        JsonValue hist = read_history().value_or(JsonValue::Array());
        // A record still open belongs to a session that can no longer finish.
        for (auto& record : hist.Items()) {
            std::string s = StateOf(record);
            if (!s.empty() && s != "failed" && s != "completed") record.Set("state", "failed");
        }
        hist.Append(state);
        write_history(hist);
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("could not write state. err = ") + e.what());
    }
}

void History::write_state(const JsonValue& state) {
    try {
        JsonValue hist = read_history().value_or(JsonValue::Array());
        auto& records = hist.Items();
        JsonValue* mine = nullptr;
        for (auto it = records.rbegin(); it != records.rend(); ++it) {
            if (SameSession(*it)) {
                mine = &*it;
                break;
            }
        }
        if (mine == nullptr) {
            Ctx().log.Error("could not find session");
            return;
        }
        const JsonValue* new_state = state.Find("state");
        mine->Set("state", new_state != nullptr ? *new_state : JsonValue());
        for (const char* key : {"start_lsn", "start_time", "stop_lsn", "stop_time", "tli", "stop_walfile"}) {
            const JsonValue* value = state.Find(key);
            if (value != nullptr && value->Truthy()) mine->Set(key, *value);
        }
        write_history(hist);
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("could not write state. err = ") + e.what());
    }
}

namespace {

JsonValue Record(std::initializer_list<std::pair<const char*, JsonValue>> members) {
    JsonValue v = JsonValue::Object();
    for (const auto& m : members) v.Set(m.first, m.second);
    return v;
}

}  // namespace

void set_backup_state_starting() {
    Ctx().data_hist.append_state(
        Record({{"state", "starting"}, {"session_id", Ctx().opt.session_id}, {"start_time", now()}}));
}

void set_backup_state_started(const std::string& start_lsn) {
    Ctx().data_hist.write_state(Record({{"state", "started"}, {"start_lsn", start_lsn}}));
}

void set_backup_state_stopping() { Ctx().data_hist.write_state(Record({{"state", "stopping"}})); }

void set_backup_state_completed(const std::string& stop_lsn, int64_t tli, const std::string& stop_walfile) {
    Ctx().data_hist.write_state(Record({{"state", "completed"},
                                        {"stop_lsn", stop_lsn},
                                        {"stop_time", now()},
                                        {"tli", JsonValue(tli)},
                                        {"stop_walfile", stop_walfile}}));
}

void set_backup_state_failed() { Ctx().data_hist.write_state(Record({{"state", "failed"}})); }

void rotate_data_history() {
    History& hist = Ctx().data_hist;
    const int64_t keep = Ctx().opt.rotate_history;
    // 0 keeps every record, as the option's help promises.
    if (keep <= 0 || !IsRegularFile(hist.filename())) return;
    std::optional<JsonValue> data = hist.read_history();
    if (!data || data->Items().empty()) return;
    auto& records = data->Items();
    if (static_cast<int64_t>(records.size()) < keep) return;
    try {
        size_t cut = 0;
        int64_t completed = 0;
        for (size_t pos = records.size(); pos-- > 0;) {
            const JsonValue* state = records[pos].IsObject() ? records[pos].Find("state") : nullptr;
            if (state == nullptr) throw std::runtime_error("record " + std::to_string(pos) + " has no \"state\"");
            if (state->IsString() && state->Text() == "completed") ++completed;
            if (completed >= keep) {
                cut = pos;
                break;
            }
        }
        JsonValue kept = JsonValue::Array();
        for (size_t pos = cut; pos < records.size(); ++pos) kept.Append(records[pos]);
        hist.write_history(kept);
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("could not rotate backup history. err = ") + e.what());
    }
}

}  // namespace snaprover
