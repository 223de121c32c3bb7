// WAL backup state tracking: the three WAL actions, the archive snapshot taken
// through pg_probackup, rotation of the WAL history and WAL file names.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <memory>
#include <tuple>

#include "snaprover.h"

namespace snaprover {

namespace {

JsonValue FromJsonCpp(const Json::Value& v) {
    switch (v.type()) {
        case Json::nullValue: return JsonValue();
        case Json::booleanValue: return JsonValue(v.asBool());
        case Json::intValue: return JsonValue::RawNumber(std::to_string(v.asLargestInt()));
        case Json::uintValue: return JsonValue::RawNumber(std::to_string(v.asLargestUInt()));
        case Json::realValue: {
            Json::StreamWriterBuilder b;
            return JsonValue::RawNumber(Json::writeString(b, v));
        }
        case Json::stringValue: return JsonValue(v.asString());
        case Json::arrayValue: {
            JsonValue a = JsonValue::Array();
            for (const auto& item : v) a.Append(FromJsonCpp(item));
            return a;
        }
        case Json::objectValue: {
            JsonValue o = JsonValue::Object();
            // The names come unique from the parsed document.
            for (const auto& name : v.getMemberNames()) o.Members().emplace_back(name, FromJsonCpp(v[name]));
            return o;
        }
    }
    return JsonValue();
}

// A scalar as text: strings as they are, null as "None", numbers in JSON form.
std::string ScalarText(const Json::Value& v) {
    if (v.isString()) return v.asString();
    if (v.isNull()) return "None";
    if (v.isBool()) return v.asBool() ? "True" : "False";
    return FromJsonCpp(v).Dump();
}

// The archive's timelines take a few kilobytes; output beyond this is no
// answer to read and would only fill memory.
constexpr size_t kMaxProbackupOutput = 64u << 20;

// Runs `command` through /bin/sh; returns its standard output. Its standard
// error is discarded. A non-zero exit status is a failure, and so is output
// beyond kMaxProbackupOutput (the command is then killed).
std::string RunShell(const std::string& command) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(e));
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, STDIN_FILENO);
            dup2(null_fd, STDERR_FILENO);
        }
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[65536];
    bool too_large = false;
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0 && out.size() + static_cast<size_t>(n) > kMaxProbackupOutput) {
            too_large = true;
            kill(pid, SIGKILL);
            break;
        }
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (too_large) {
        throw std::runtime_error("Command '" + command + "' wrote more than " + std::to_string(kMaxProbackupOutput) +
                                 " bytes.");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
        throw std::runtime_error("Command '" + command + "' returned non-zero " + how + ".");
    }
    return out;
}

std::string JoinPath(std::string a, const std::string& b) {
    if (!a.empty() && a.back() != '/') a += '/';
    return a + b;
}

void set_wal_state_started() {
    try {
        const Context& ctx = Ctx();
        if (!ctx.pghome) throw std::runtime_error("PGHOME environment variable is undefined");
        std::string command = ShellQuote(JoinPath(JoinPath(*ctx.pghome, "bin"), "pg_probackup")) + " show -B " +
                              ShellQuote(ctx.opt.label_dir) + " --archive --format=json";
        std::string output = RunShell(command);

        Json::CharReaderBuilder builder;
        // The timelines end up a few levels down in the WAL history, whose reader
        // takes 512 levels: deeper output written there would make the whole
        // history unreadable, and the next record would then replace it.
        builder["stackLimit"] = 256;
        Json::Value doc;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (!reader->parse(output.data(), output.data() + output.size(), &doc, &errors)) {
            throw std::runtime_error("pg_probackup output is not JSON: " + errors);
        }
        if (!doc.isArray() || doc.empty() || !doc[0].isObject() || !doc[0]["timelines"].isArray()) {
            throw std::runtime_error("pg_probackup output has no \"timelines\" list");
        }
        std::string state = "started";
        JsonValue info = JsonValue::Object();
        for (const auto& timeline : doc[0]["timelines"]) {
            if (!timeline.isObject()) throw std::runtime_error("a timeline is not an object");
            std::string status = ScalarText(timeline["status"]);
            std::transform(status.begin(), status.end(), status.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (status != "ok") state = "failed";
            JsonValue entry = JsonValue::Object();
            for (const auto& [key, source] :
                 {std::pair<const char*, const char*>{"parent_tli", "parent-tli"},
                  {"switchpoint", "switchpoint"},
                  {"min_segno", "min-segno"},
                  {"max_segno", "max-segno"},
                  {"n_segments", "n-segments"},
                  {"size", "size"},
                  {"zratio", "zratio"}}) {
                entry.Set(key, FromJsonCpp(timeline[source]));
            }
            entry.Set("status", status);
            entry.Set("lost_segments", FromJsonCpp(timeline["lost-segments"]));
            info.Set(ScalarText(timeline["tli"]), entry);
        }
        JsonValue record = JsonValue::Object();
        record.Set("state", state);
        record.Set("session_id", ctx.opt.session_id);
        record.Set("start_time", now());
        record.Set("info", info);
        Ctx().wal_hist.append_state(record);
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("cannot set wal history \"started\" record. err = ") + e.what());
    }
}

void set_wal_state_completed() {
    JsonValue s = JsonValue::Object();
    s.Set("state", "completed");
    s.Set("stop_time", now());
    Ctx().wal_hist.write_state(s);
}

void set_wal_state_failed() {
    // A completed WAL backup stays completed.
    if (Ctx().wal_hist.get_state() == "completed") return;
    JsonValue s = JsonValue::Object();
    s.Set("state", "failed");
    s.Set("stop_time", now());
    Ctx().wal_hist.write_state(s);
}

// "start_time" of a record as (year, month, ..., second); throws when absent or
// in another format.
std::tm StartTime(const JsonValue& record) {
    const JsonValue* t = record.IsObject() ? record.Find("start_time") : nullptr;
    if (t == nullptr || !t->IsString()) throw std::runtime_error("record has no \"start_time\"");
    std::tm tm {};
    const char* end = strptime(t->Text().c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    if (end == nullptr || *end != '\0') {
        throw std::runtime_error("time data '" + t->Text() + "' does not match format '%Y-%m-%d %H:%M:%S'");
    }
    return tm;
}

bool Before(const std::tm& a, const std::tm& b) {
    auto key = [](const std::tm& t) {
        return std::tuple(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    };
    return key(a) < key(b);
}

}  // namespace

std::string ShellQuote(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                "0123456789@%+=:,./-_") == std::string::npos) {
        return word;
    }
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') {
            out += "'\"'\"'";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string get_walfile(int64_t tli, int64_t stop_lsn_num, int64_t seg_size) {
    uint64_t seg_no = static_cast<uint64_t>(stop_lsn_num - 1) / static_cast<uint64_t>(seg_size);
    uint64_t segs = 4294967296ULL / static_cast<uint64_t>(seg_size);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08llX%08llX%08llX", static_cast<unsigned long long>(tli),
                  static_cast<unsigned long long>(seg_no / segs), static_cast<unsigned long long>(seg_no % segs));
    return buf;
}

void rotate_wal_history() {
    Context& ctx = Ctx();
    std::optional<JsonValue> hist_data = ctx.data_hist.read_history();
    if (!hist_data || hist_data->Items().empty()) return;
    if (!IsRegularFile(ctx.wal_state_path)) return;
    try {
        std::tm oldest_keep = StartTime(hist_data->Items().front());
        std::optional<JsonValue> wal_data = ctx.wal_hist.read_history();
        if (!wal_data || wal_data->Items().empty()) return;
        const auto& records = wal_data->Items();
        size_t pos = 0;
        for (const auto& record : records) {
            if (!Before(StartTime(record), oldest_keep)) break;
            ++pos;
        }
        if (pos == 0) return;
        // The newest WAL backup older than the oldest data backup is still
        // needed to restore that data backup.
        JsonValue kept = JsonValue::Array();
        for (size_t i = pos - 1; i < records.size(); ++i) kept.Append(records[i]);
        ctx.wal_hist.write_history(kept);
    } catch (const std::exception& e) {
        ctx.log.Error(std::string("could not rotate backup history. err = ") + e.what());
    }
}

void wal_backup_started() {
    rotate_wal_history();
    set_wal_state_started();
}

void wal_backup_done() {
    std::string state = Ctx().wal_hist.get_state();
    if (state == "started") {
        set_wal_state_completed();
        return;
    }
    Ctx().log.Error("invalid wal backup state: \"" + state + "\" -> mark backup as failed");
    set_wal_state_failed();
}

void wal_backup_failed() { set_wal_state_failed(); }

}  // namespace snaprover
