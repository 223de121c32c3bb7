/*
 * Small program that reports through libclilog as the command-line tools do.
 *   clilog_probe report LEVEL   one message at LEVEL, then "continued" on stdout
 *   clilog_probe trap           a failed assertion with complete arguments
 *   clilog_probe trap-null      a failed assertion without a file name
 *   clilog_probe assert-macro   CLILOG_ASSERT on a false condition
 * It prints "pid=<pid>" first. When PROBE_CLOCK="<seconds>.<nanoseconds>" is set,
 * the wall clock seen by the library is pinned to that time.
 */
#define _GNU_SOURCE

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "clilog/clilog.h"

/* Takes precedence over the C library's for the shared library's calls. */
int clock_gettime(clockid_t clock, struct timespec* ts) {
    const char* pinned = getenv("PROBE_CLOCK");
    if (clock == CLOCK_REALTIME && pinned != NULL) {
        char* dot = NULL;
        ts->tv_sec = (time_t)strtoll(pinned, &dot, 10);
        ts->tv_nsec = (dot != NULL && *dot == '.') ? strtol(dot + 1, NULL, 10) : 0;
        return 0;
    }
    return (int)syscall(SYS_clock_gettime, clock, ts);
}

int main(int argc, char** argv) {
    printf("pid=%ld\n", (long)getpid());
    fflush(stdout);
    if (argc >= 3 && strcmp(argv[1], "report") == 0) {
        if (errstart(atoi(argv[2]), "probe.c", 42, "probe_main", "ignored domain"))
            errfinish(errmsg("value %d and %s", 7, "text"));
        printf("continued\n");
        return 0;
    }
    /* Left in the stdio buffer: the trap must not lose it. */
    printf("before trap\n");
    if (argc >= 2 && strcmp(argv[1], "trap") == 0)
        ExceptionalCondition("!(input)", "FailedAssertion", "wrapper.cpp", 117);
    if (argc >= 2 && strcmp(argv[1], "trap-null") == 0)
        ExceptionalCondition("!(x)", "FailedAssertion", NULL, 5);
    if (argc >= 2 && strcmp(argv[1], "assert-macro") == 0) {
        CLILOG_ASSERT(argc > 99);
        return 0;
    }
    return 2;
}
