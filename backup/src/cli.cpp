// Command line, logger and process-wide context of snaprover.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string_view>
#include <vector>

#include "common/product_info.h"
#include "common/secure_buffer.h"
#include "snaprover.h"

namespace snaprover {

Context& Ctx() {
    static Context context;
    return context;
}

std::string Context::LabelFile(const std::string& name) const {
    if (!opt.label_dir.empty() && opt.label_dir.back() == '/') return opt.label_dir + name;
    return opt.label_dir + "/" + name;
}

std::string now() {
    time_t t = time(nullptr);
    struct tm tm_local {};
    localtime_r(&t, &tm_local);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm_local);
    return buf;
}

void PrintLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Logger::Open(const std::string& path, const std::string& session_id) {
    // Others may write into the label directory: a link planted as the log would
    // have the mode change below open its target to everybody, and a FIFO would
    // block the open. Only a regular file is taken.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) throw std::runtime_error("cannot open log file \"" + path + "\": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw std::runtime_error("cannot open log file \"" + path + "\": not a regular file");
    }
    // Every invocation of a backup appends here, whichever user runs it. A log
    // that another user created already open to all needs no change (and only
    // its owner could make one).
    if ((st.st_mode & 07777) != 0666 && fchmod(fd, 0666) != 0) {
        int e = errno;
        close(fd);
        throw std::runtime_error("cannot change mode of \"" + path + "\": " + std::strerror(e));
    }
    file_fd_ = fd;
    session_id_ = session_id;
}

void Logger::WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a lost log record must not end the backup
        done += static_cast<size_t>(n);
    }
}

void Logger::Emit(const char* level, const std::string& message) {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm tm_local {};
    localtime_r(&tv.tv_sec, &tm_local);
    char stamp[48];
    size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm_local);
    std::snprintf(stamp + n, sizeof stamp - n, ",%03ld", static_cast<long>(tv.tv_usec / 1000));
    std::string record = std::string(stamp) + " - " + session_id_ + " - " + level + " - " + message + "\n";
    if (file_fd_ >= 0) WriteAll(file_fd_, record);
    WriteAll(STDERR_FILENO, record);
}

void Logger::Failure(const std::string& text, const std::string& where) {
    Emit("ERROR", text + "\n  failure raised in " + where);
}

namespace {

const char* const kProgram = "snaprover";

// The help description; the example invocations name the installed program.
std::string Description() {
    const std::string program = std::string(product_info::kBinDir) + "/" + kProgram;
    const std::string invocation =
        "    " + program + " --host 127.0.0.1 -p 5432 -U user -d db -B <path_to_label_dir> --session-id=<SESS> ";
    return "\n"
           "Manage low level backup routines.\n"
           "\n"
           "This script automates pg_startbackup, pg_stop_backup calls.\n"
           "When started, separate process with libpq connection will be created.\n"
           "Only one backup can be performed at a time. If there is an old backup session, new backup would not be "
           "started.\n"
           "Errors could be found in postgres log, under 'backup_session' application and in snapwarden.log file in "
           "backup directory (-B)\n"
           "\n"
           "Example:\n" +
           invocation + "start\n" + "    # copy data from $PGDATA...\n" + invocation + "stop\n";
}

enum class Kind { Text, Integer };

struct OptionDef {
    const char* name;  // as written on the command line
    const char* metavar;
    bool required;
    Kind kind;
    const char* help;
};

const OptionDef kOptions[] = {
    {"-B", "label_dir", true, Kind::Text, "directory where to put backup_lable and ts mappings"},
    {"--host", "host", true, Kind::Text, "database host"},
    {"-p", "port", true, Kind::Text, "database port"},
    {"-d", "database", true, Kind::Text, "database name"},
    {"-U", "user", true, Kind::Text, "database backup user"},
    {"--password", "password", false, Kind::Text, "database backup password"},
    {"--session-timeout", "sec", false, Kind::Integer,
     "how long backup session should live. 0 - no timeout (default: 0)"},
    {"--start-timeout", "sec", false, Kind::Integer, "how long to wait for pg_start_backup (default: 3600)"},
    {"--stop-timeout", "sec", false, Kind::Integer, "how long to wait for pg_stop_backup (default: 300)"},
    {"--patroni-host", "patroni_host", false, Kind::Text, "patroni host (default: 127.0.0.1)"},
    {"--patroni-port", "patroni_port", false, Kind::Integer, "patroni host (default: 8008)"},
    {"--rotate-history", "rotate_history", false, Kind::Integer,
     "remove history records older then N successfull records, 0 - do not remove (default: 6)"},
    {"--session-id", "session_id", true, Kind::Text, "DataProtector session id"},
};

const char* const kActions[] = {"start", "stop", "wal-backup-started", "wal-backup-ok", "wal-backup-failed",
                                "wait-start"};

std::string Usage() {
    std::string u = std::string("usage: ") + kProgram + " [-h]";
    for (const auto& o : kOptions) {
        std::string part = std::string(o.name) + " " + o.metavar;
        u += o.required ? " " + part : " [" + part + "]";
    }
    return u + " action\n";
}

void AppendHelpEntry(std::string& out, const std::string& head, const std::string& help) {
    std::string line = "  " + head;
    if (line.size() <= 22) {
        line.resize(24, ' ');
    } else {
        line += "\n" + std::string(24, ' ');
    }
    out += line + help + "\n";
}

std::string Help() {
    std::string h = Usage() + "\n" + Description() + "\npositional arguments:\n";
    AppendHelpEntry(h, "action",
                    "'start' to call pg_start_backup(). 'stop' to call pg_stop_backup and collect backup_lable");
    h += "\noptions:\n";
    AppendHelpEntry(h, "-h, --help", "show this help message and exit");
    for (const auto& o : kOptions) AppendHelpEntry(h, std::string(o.name) + " " + o.metavar, o.help);
    return h;
}

[[noreturn]] void CommandLineError(const std::string& message) {
    std::string text = Usage() + kProgram + ": error: " + message + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    throw ExitRequest{2};
}

// Integer text: blanks around, an optional sign, decimal digits.
bool ParseInteger(const std::string& text, int64_t& value) {
    size_t b = text.find_first_not_of(" \t\n\r\f\v");
    size_t e = text.find_last_not_of(" \t\n\r\f\v");
    if (b == std::string::npos) return false;
    std::string core = text.substr(b, e - b + 1);
    size_t digits = (core[0] == '+' || core[0] == '-') ? 1 : 0;
    if (digits >= core.size() || core.find_first_not_of("0123456789", digits) != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(core.c_str(), &end, 10);
    if (errno != 0) return false;
    value = v;
    return true;
}

void Assign(Options& opt, const OptionDef& def, const std::string& value) {
    std::string name = def.name;
    if (def.kind == Kind::Integer) {
        int64_t v = 0;
        if (!ParseInteger(value, v)) {
            CommandLineError("argument " + name + ": invalid int value: '" + value + "'");
        }
        if (name == "--session-timeout") opt.session_timeout = v;
        else if (name == "--start-timeout") opt.start_timeout = v;
        else if (name == "--stop-timeout") opt.stop_timeout = v;
        else if (name == "--patroni-port") opt.patroni_port = v;
        else opt.rotate_history = v;
        return;
    }
    if (name == "-B") opt.label_dir = value;
    else if (name == "--host") opt.host = value;
    else if (name == "-p") opt.port = value;
    else if (name == "-d") opt.database = value;
    else if (name == "-U") opt.user = value;
    else if (name == "--password") opt.password = value;
    else if (name == "--patroni-host") opt.patroni_host = value;
    else opt.session_id = value;
}

}  // namespace

void ParseCommandLine(int argc, char** argv) {
    Options& opt = Ctx().opt;
    std::map<std::string, bool> seen;
    std::vector<std::string> positionals;
    std::vector<std::string> unknown;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::string h = Help();
            std::fwrite(h.data(), 1, h.size(), stdout);
            std::fflush(stdout);
            throw ExitRequest{0};
        }
        if (arg == "--") {
            for (++i; i < argc; ++i) positionals.emplace_back(argv[i]);
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positionals.push_back(arg);
            continue;
        }
        const OptionDef* def = nullptr;
        std::optional<std::string> inline_value;
        for (const auto& o : kOptions) {
            std::string name = o.name;
            bool is_long = name.size() > 2;
            if (arg == name) {
                def = &o;
            } else if (is_long && arg.compare(0, name.size() + 1, name + "=") == 0) {
                def = &o;
                inline_value = arg.substr(name.size() + 1);
            } else if (!is_long && arg.compare(0, 2, name) == 0) {
                // Short options take their value attached as well: -B/dir, -p=5432.
                def = &o;
                inline_value = arg.substr(arg.size() > 2 && arg[2] == '=' ? 3 : 2);
            }
            if (def != nullptr) break;
        }
        if (def == nullptr) {
            unknown.push_back(arg);
            continue;
        }
        std::string value;
        char* source = nullptr;  // where the value lies in the argument area
        if (inline_value) {
            value = *inline_value;
            source = argv[i] + (arg.size() - inline_value->size());
        } else if (i + 1 < argc) {
            source = argv[++i];
            value = source;
        } else {
            CommandLineError(std::string("argument ") + def->name + ": expected one argument");
        }
        Assign(opt, *def, value);
        // The session lives for hours: its password must not stay readable by
        // every local user in its command line.
        if (def->kind == Kind::Text && std::string_view(def->name) == "--password") {
            common_routines::SecureWipe(source, value.size());
            common_routines::SecureWipe(value);
            common_routines::SecureWipe(arg);
            if (inline_value) common_routines::SecureWipe(*inline_value);
        }
        seen[def->name] = true;
    }

    std::vector<std::string> missing;
    for (const auto& o : kOptions) {
        if (o.required && !seen[o.name]) missing.emplace_back(o.name);
    }
    if (positionals.empty()) missing.insert(missing.begin(), "action");
    if (!missing.empty()) {
        std::string list;
        for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
        CommandLineError("the following arguments are required: " + list);
    }
    bool known = false;
    for (const char* a : kActions) known = known || positionals[0] == a;
    if (!known) {
        std::string choices;
        for (const char* a : kActions) choices += std::string(choices.empty() ? "" : ", ") + "'" + a + "'";
        CommandLineError("argument action: invalid choice: '" + positionals[0] + "' (choose from " + choices + ")");
    }
    for (size_t k = 1; k < positionals.size(); ++k) unknown.push_back(positionals[k]);
    if (!unknown.empty()) {
        std::string list;
        for (const auto& u : unknown) list += (list.empty() ? "" : " ") + u;
        CommandLineError("unrecognized arguments: " + list);
    }
    opt.action = positionals[0];
}

}  // namespace snaprover
