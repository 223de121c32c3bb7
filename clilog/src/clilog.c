/*
 * Terminal implementation of the PostgreSQL 11 error-reporting entry points.
 * Written in C so that a program that links it gets no C++ runtime state.
 */
#define _POSIX_C_SOURCE 200809L

#include "clilog/clilog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

/* Level of the message being reported; set by errstart(). Not guarded: the
   programs that use this library are single-threaded. */
static int current_level;

static const char* level_name(int level) {
    if (level >= CLILOG_DEBUG5 && level <= CLILOG_DEBUG1) return "DEBUG";
    switch (level) {
        case CLILOG_LOG:
        case CLILOG_LOG_SERVER_ONLY:
            return "LOG";
        case CLILOG_INFO:
            return "INFO";
        case CLILOG_NOTICE:
            return "NOTICE";
        case CLILOG_WARNING:
            return "WARNING";
        case CLILOG_ERROR:
            return "ERROR";
        case CLILOG_FATAL:
            return "FATAL";
        case CLILOG_PANIC:
            return "PANIC";
        default:
            return "???";
    }
}

static FILE* level_stream(int level) {
    return level >= CLILOG_ERROR ? stderr : stdout;
}

/* glibc prints "(null)" for a null %s; spell it out rather than rely on that. */
static const char* or_null(const char* text) {
    return text != NULL ? text : "(null)";
}

bool errstart(int elevel, const char* filename, int lineno, const char* funcname, const char* domain) {
    struct timespec now;
    struct tm local;

    (void)domain;
    current_level = elevel;
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &local);
    fprintf(level_stream(elevel), "%04u-%02u-%02u %02u:%02u:%02u.%03lu [%ld] %s:%d (%s) %s: ",
            (unsigned)(local.tm_year + 1900), (unsigned)(local.tm_mon + 1), (unsigned)local.tm_mday,
            (unsigned)local.tm_hour, (unsigned)local.tm_min, (unsigned)local.tm_sec,
            (unsigned long)(now.tv_nsec / 1000000), (long)getpid(), or_null(filename), lineno,
            or_null(funcname), level_name(elevel));
    return true;
}

int errmsg(const char* fmt, ...) {
    FILE* stream = level_stream(current_level);
    va_list args;

    va_start(args, fmt);
    vfprintf(stream, fmt, args);
    va_end(args);
    fputc('\n', stream);
    return 0;
}

void errfinish(int dummy, ...) {
    (void)dummy;
    if (current_level == CLILOG_FATAL) {
        fflush(stdout);
        fflush(stderr);
        exit(1);
    }
    if (current_level > CLILOG_FATAL) {
        fflush(stdout);
        fflush(stderr);
        abort();
    }
}

void ExceptionalCondition(const char* conditionName, const char* errorType, const char* fileName,
                          int lineNumber) {
    errstart(CLILOG_PANIC, "fe_assert", 32, "ExceptionalCondition", NULL);
    if (conditionName != NULL && errorType != NULL && fileName != NULL)
        errmsg("TRAP: %s(\"%s\", File: \"%s\", Line: %d)", errorType, conditionName, fileName, lineNumber);
    else
        errmsg("TRAP: ExceptionalCondition: bad arguments");
    /* Earlier lines still buffered on standard output would be lost by abort(). */
    fflush(stdout);
    fflush(stderr);
    abort();
}
