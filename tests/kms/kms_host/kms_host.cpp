// kms_host: loads a KMS connector plug-in the way the database server does and
// drives its entry points, for the connector tests and benchmarks.
//
// The program links libclilog (errstart/errmsg/errfinish/ExceptionalCondition)
// and carries the credential store and the encryption wrapper, and exports its
// symbols, so a connector resolves the host services and StoreDeriveKey from it.
// The library is opened with RTLD_NOW | RTLD_GLOBAL, so a connector that needs a
// symbol the process lacks fails to load ("load failed: ..." on stderr, exit 2).
// Core dumps are switched off: the process holds key material.
//
// Usage: kms_host <connector.so> [command]...
//   Each further argument is one command; without any, commands are read from
//   standard input, one per line. Words are separated by blanks; the word
//   "@null" passes a null pointer and "@empty" an empty string. For set and cas
//   the value is the rest of the line (it may hold blanks).
//
// Commands and their result line on standard output (the connector's LOG and
// WARNING lines from libclilog appear on the same stream, each beginning with a
// time stamp; every result line is flushed before the next command runs):
//   list                   "list <code> <non-null entries> <entries equal to the export of that name>"
//   init <configDir> [pluginDir]      "init <code>" (pluginDir omitted: null)
//   isinit                 "isinit <code>"
//   get <d> <c> <s> <k>    "get <code> <value>" (value only on success): asks for the
//                          length with *valueSize = 0, then fetches into a buffer of it
//   getraw <d> <c> <s> <k> <size> [@null]
//                          one KmsGetValue call with *valueSize = size and a buffer of
//                          size bytes filled with '.' (or a null buffer):
//                          "getraw <code> <valueSize after> <buffer bytes>"
//   set <d> <c> <s> <k> <value...>    "set <code>"
//   cas <d> <c> <s> <k> <value...>    "cas <code>"
//   fork-get <d> <c> <s> <k>
//                          forks; the child does "get" and prints "child get <code> <value>",
//                          then exits; the parent prints "fork-get started" and goes on
//   wait                   waits for all forked children: "wait <0 if all exited 0, else 1>"
//   loop <n> <d> <c> <s> <k>
//                          n gets into one buffer: "loop <first failing code, or 0>"
//   setenv <name> <value>  "setenv 0";  unsetenv <name>  "unsetenv 0"
//   waitfile <path>        waits until path exists: "waitfile 0"
//   touch <path>           creates path: "touch <0 or errno>"
//   write <path> <text...> rewrites the file in place (truncated, same inode):
//                          "write <0 or errno>"; the two characters \n in text stand
//                          for a line feed
//   replace <path> <text...>
//                          writes the text to a new file and renames it over path:
//                          "replace <0 or errno>"
//   move <from> <to>       renames: "move <0 or errno>"
//   age <path> <seconds>   sets the file's modification time to now + seconds
//                          (may be negative): "age <0 or errno>"
//   echo <text...>         "echo <text>"
// An unknown command or wrong word count prints "error <line>" and exits 2.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kms/kms_function_list.h"

namespace {

KmsFunctionList* table = nullptr;
void* library = nullptr;
int children = 0;

struct Command {
    std::vector<std::string> words;
    std::string line;
    // Text after the first `count` words (the value of set and cas).
    std::string RestAfter(size_t count) const {
        std::istringstream in(line);
        std::string word;
        for (size_t i = 0; i < count; ++i) in >> word;
        std::string rest;
        std::getline(in >> std::ws, rest);
        return rest;
    }
};

const char* Arg(const std::string& word) {
    if (word == "@null") return nullptr;
    if (word == "@empty") return "";
    return word.c_str();
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Usage(const std::string& line) {
    Print("error " + line);
    std::exit(2);
}

std::string Get(const Command& c, int& code) {
    const char* d = Arg(c.words[1]);
    const char* cl = Arg(c.words[2]);
    const char* s = Arg(c.words[3]);
    const char* k = Arg(c.words[4]);
    size_t size = 0;
    code = table->KmsGetValue(d, cl, s, k, nullptr, &size);
    if (code == -35) {
        std::string value(size, '\0');
        code = table->KmsGetValue(d, cl, s, k, reinterpret_cast<uint8_t*>(value.data()), &size);
        return code == 0 ? value : std::string();
    }
    return std::string();
}

void Execute(const Command& c) {
    const std::vector<std::string>& w = c.words;
    if (w.empty()) return;
    const std::string& name = w[0];
    auto need = [&](size_t min, size_t max) {
        if (w.size() < min || w.size() > max) Usage(c.line);
    };
    if (name == "list") {
        need(1, 1);
        KmsFunctionList* list = nullptr;
        const int code = table->KmsGetFunctionList(&list);
        int nonNull = 0;
        int same = 0;
        if (code == 0 && list != nullptr) {
            void* entries[] = {reinterpret_cast<void*>(list->KmsGetFunctionList),
                               reinterpret_cast<void*>(list->KmsInit),
                               reinterpret_cast<void*>(list->KmsIsInitialized),
                               reinterpret_cast<void*>(list->KmsGetValue),
                               reinterpret_cast<void*>(list->KmsSetValue),
                               reinterpret_cast<void*>(list->KmsCheckAndSetValue)};
            const char* names[] = {"KmsGetFunctionList", "KmsInit",     "KmsIsInitialized",
                                   "KmsGetValue",        "KmsSetValue", "KmsCheckAndSetValue"};
            for (int i = 0; i < 6; ++i) {
                nonNull += entries[i] != nullptr;
                same += entries[i] != nullptr && entries[i] == dlsym(library, names[i]);
            }
        }
        Print("list " + std::to_string(code) + " " + std::to_string(nonNull) + " " + std::to_string(same));
    } else if (name == "init") {
        need(2, 3);
        Print("init " + std::to_string(table->KmsInit(Arg(w[1]), w.size() > 2 ? Arg(w[2]) : nullptr)));
    } else if (name == "isinit") {
        need(1, 1);
        Print("isinit " + std::to_string(table->KmsIsInitialized()));
    } else if (name == "get") {
        need(5, 5);
        int code = 0;
        const std::string value = Get(c, code);
        Print("get " + std::to_string(code) + (code == 0 ? " " + value : std::string()));
    } else if (name == "getraw") {
        need(6, 7);
        size_t size = std::stoul(w[5]);
        std::string buffer(size, '.');
        uint8_t* target = w.size() > 6 && w[6] == "@null" ? nullptr : reinterpret_cast<uint8_t*>(buffer.data());
        const int code = table->KmsGetValue(Arg(w[1]), Arg(w[2]), Arg(w[3]), Arg(w[4]), target, &size);
        Print("getraw " + std::to_string(code) + " " + std::to_string(size) + " " + buffer);
    } else if (name == "set" || name == "cas") {
        need(6, 10000);
        const std::string value = c.RestAfter(5);
        const char* v = value == "@null" ? nullptr : value == "@empty" ? "" : value.c_str();
        KmsSetValueFn fn = name == "set" ? table->KmsSetValue : table->KmsCheckAndSetValue;
        Print(name + " " + std::to_string(fn(Arg(w[1]), Arg(w[2]), Arg(w[3]), Arg(w[4]), v)));
    } else if (name == "fork-get") {
        need(5, 5);
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        if (pid < 0) Usage(c.line);
        if (pid == 0) {
            int code = 0;
            const std::string value = Get(c, code);
            Print("child get " + std::to_string(code) + (code == 0 ? " " + value : std::string()));
            std::fflush(stderr);
            _exit(0);
        }
        ++children;
        Print("fork-get started");
    } else if (name == "wait") {
        need(1, 1);
        int failed = 0;
        for (; children > 0; --children) {
            int status = 0;
            if (::wait(&status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) failed = 1;
        }
        Print("wait " + std::to_string(failed));
    } else if (name == "loop") {
        need(6, 6);
        const long count = std::stol(w[1]);
        std::string buffer(4096, '\0');
        int first = 0;
        for (long i = 0; i < count && first == 0; ++i) {
            size_t size = buffer.size();
            first = table->KmsGetValue(Arg(w[2]), Arg(w[3]), Arg(w[4]), Arg(w[5]),
                                       reinterpret_cast<uint8_t*>(buffer.data()), &size);
        }
        Print("loop " + std::to_string(first));
    } else if (name == "setenv") {
        need(3, 3);
        setenv(w[1].c_str(), w[2].c_str(), 1);
        Print("setenv 0");
    } else if (name == "unsetenv") {
        need(2, 2);
        unsetenv(w[1].c_str());
        Print("unsetenv 0");
    } else if (name == "waitfile") {
        need(2, 2);
        const timespec pause{0, 5 * 1000 * 1000};
        while (access(w[1].c_str(), F_OK) != 0) nanosleep(&pause, nullptr);
        Print("waitfile 0");
    } else if (name == "touch") {
        need(2, 2);
        const int fd = open(w[1].c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const int code = fd < 0 ? errno : 0;
        if (fd >= 0) close(fd);
        Print("touch " + std::to_string(code));
    } else if (name == "write" || name == "replace") {
        need(2, 10000);
        std::string text = c.RestAfter(2);
        for (size_t at = text.find("\\n"); at != std::string::npos; at = text.find("\\n", at + 1)) {
            text.replace(at, 2, "\n");
        }
        const std::string target = name == "write" ? w[1] : w[1] + ".new";
        int code = 0;
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) code = errno;
        if (fd >= 0) close(fd);
        if (code == 0 && name == "replace" && rename(target.c_str(), w[1].c_str()) != 0) code = errno;
        Print(name + " " + std::to_string(code));
    } else if (name == "move") {
        need(3, 3);
        Print("move " + std::to_string(rename(w[1].c_str(), w[2].c_str()) == 0 ? 0 : errno));
    } else if (name == "age") {
        need(3, 3);
        timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec += std::stol(w[2]);
        times[1] = times[0];
        Print("age " + std::to_string(utimensat(AT_FDCWD, w[1].c_str(), times, 0) == 0 ? 0 : errno));
    } else if (name == "echo") {
        Print("echo " + c.RestAfter(1));
    } else {
        Usage(c.line);
    }
}

Command Parse(const std::string& line) {
    Command c;
    c.line = line;
    std::istringstream in(line);
    std::string word;
    while (in >> word) c.words.push_back(word);
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kms_host <connector.so> [command]...\n");
        return 2;
    }
    library = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        std::fprintf(stderr, "load failed: %s\n", dlerror());
        return 2;
    }
    auto getList = reinterpret_cast<KmsGetFunctionListFn>(dlsym(library, "KmsGetFunctionList"));
    if (getList == nullptr || getList(&table) != 0 || table == nullptr) {
        std::fprintf(stderr, "load failed: no function list\n");
        return 2;
    }
    if (argc > 2) {
        for (int i = 2; i < argc; ++i) Execute(Parse(argv[i]));
    } else {
        std::string line;
        while (std::getline(std::cin, line)) Execute(Parse(line));
    }
    std::fflush(stdout);
    return 0;
}
