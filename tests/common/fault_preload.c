/*
 * Fault injection for end-to-end tests, loaded with LD_PRELOAD into a program.
 * It acts only on files whose path contains FAULT_MATCH and does what
 * FAULT_ACTION names:
 *   record        append "fsync <path>" and "rename <from> <to>" lines to FAULT_LOG
 *   fsync-eio     fsync fails with EIO
 *   kill-at-fsync the process is killed (SIGKILL) instead of flushing
 *   kill-at-rename the process is killed instead of renaming onto the path
 *   kill-at-write the process is killed instead of writing
 *   limits        at the first read of standard input, the core-file limit
 *                 line of /proc/self/limits and "dumpable <n>" go to FAULT_LOG
 *                 (FAULT_MATCH is not used)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

static int action_is(const char *name) {
    const char *action = getenv("FAULT_ACTION");
    return action && strcmp(action, name) == 0;
}

static int path_matches(const char *path) {
    const char *match = getenv("FAULT_MATCH");
    return path && match && *match && strstr(path, match) != NULL;
}

static int fd_matches(int fd, char *path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    if (n < 0) return 0;
    path[n] = '\0';
    return path_matches(path);
}

static void log_line(const char *text) {
    const char *log = getenv("FAULT_LOG");
    if (!log) return;
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
    close(fd);
}

static void die(void) {
    kill(getpid(), SIGKILL);
    for (;;) pause();
}

static int flush_fault(int fd) {
    char path[4096];
    if (!fd_matches(fd, path, sizeof path)) return 0;
    if (action_is("record")) {
        char line[4200];
        snprintf(line, sizeof line, "fsync %s\n", path);
        log_line(line);
    } else if (action_is("fsync-eio")) {
        errno = EIO;
        return -1;
    } else if (action_is("kill-at-fsync")) {
        die();
    }
    return 0;
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    if (flush_fault(fd) != 0) return -1;
    return real(fd);
}

int rename(const char *from, const char *to) {
    static int (*real)(const char *, const char *);
    if (!real) real = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    if (path_matches(to)) {
        if (action_is("record")) {
            char line[8300];
            snprintf(line, sizeof line, "rename %s %s\n", from, to);
            log_line(line);
        } else if (action_is("kill-at-rename")) {
            die();
        }
    }
    return real(from, to);
}

ssize_t write(int fd, const void *data, size_t size) {
    static ssize_t (*real)(int, const void *, size_t);
    if (!real) real = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    char path[4096];
    if (action_is("kill-at-write") && fd_matches(fd, path, sizeof path)) die();
    return real(fd, data, size);
}

/* Reports the core-file limit and the dumpable flag once, when the program
   first waits for input. */
static void report_limits(void) {
    static int reported;
    if (reported || !action_is("limits")) return;
    reported = 1;
    char text[4096];
    ssize_t n = -1;
    FILE *limits = fopen("/proc/self/limits", "re");
    if (limits) {
        n = (ssize_t)fread(text, 1, sizeof text - 1, limits);
        fclose(limits);
    }
    text[n > 0 ? n : 0] = '\0';
    char *line = strstr(text, "Max core file size");
    if (line) {
        char *end = strchr(line, '\n');
        if (end) end[1] = '\0';
        log_line(line);
    }
    char dumpable[32];
    snprintf(dumpable, sizeof dumpable, "dumpable %d\n", prctl(PR_GET_DUMPABLE, 0, 0, 0, 0));
    log_line(dumpable);
}

ssize_t read(int fd, void *data, size_t size) {
    static ssize_t (*real)(int, void *, size_t);
    if (!real) real = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    if (fd == STDIN_FILENO) report_limits();
    return real(fd, data, size);
}

/* Standard input read through stdio (getchar is getc(stdin) once inlined)
   does not pass through read() above. */
int getc(FILE *stream) {
    static int (*real)(FILE *);
    if (!real) real = (int (*)(FILE *))dlsym(RTLD_NEXT, "getc");
    if (stream == stdin) report_limits();
    return real(stream);
}
