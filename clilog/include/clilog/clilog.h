#ifndef CLILOG_CLILOG_H
#define CLILOG_CLILOG_H

/*
 * Error reporting and assertion traps for the command-line programs, with the
 * names and argument lists that PostgreSQL 11 server code uses. Code shared with
 * the server-loaded KMS connectors reports through these four functions: inside
 * the server the server's own functions answer them, in a command-line program
 * libclilog prints the messages on the terminal.
 *
 * Usage: if errstart() returns true, format the text with errmsg() and complete
 * the report with errfinish(); CLILOG_REPORT does both.
 */

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define CLILOG_EXPORT __attribute__((visibility("default")))
#define CLILOG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#define CLILOG_NORETURN __attribute__((noreturn))
#else
#define CLILOG_EXPORT
#define CLILOG_PRINTF(f, a)
#define CLILOG_NORETURN
#endif

/* PostgreSQL 11 message levels. */
#define CLILOG_DEBUG5 10
#define CLILOG_DEBUG4 11
#define CLILOG_DEBUG3 12
#define CLILOG_DEBUG2 13
#define CLILOG_DEBUG1 14
#define CLILOG_LOG 15
#define CLILOG_LOG_SERVER_ONLY 16
#define CLILOG_INFO 17
#define CLILOG_NOTICE 18
#define CLILOG_WARNING 19
#define CLILOG_ERROR 20 /* printed; the process goes on */
#define CLILOG_FATAL 21 /* errfinish() exits with status 1 */
#define CLILOG_PANIC 22 /* errfinish() aborts */

/*
 * Starts a message: stores the level and prints the line prefix
 * "YYYY-MM-DD HH:MM:SS.mmm [pid] file:line (function) LEVEL: ". Levels below 20
 * go to standard output, the others to standard error. `domain` is ignored.
 * Always returns true (there is no level filter).
 */
CLILOG_EXPORT bool errstart(int elevel, const char* filename, int lineno, const char* funcname,
                            const char* domain);

/* Prints the formatted text and a line feed on the level's stream; returns 0. */
CLILOG_EXPORT int errmsg(const char* fmt, ...) CLILOG_PRINTF(1, 2);

/*
 * Completes the message: FATAL flushes both streams and exits with status 1,
 * levels above FATAL flush both streams and abort, any other level returns.
 */
CLILOG_EXPORT void errfinish(int dummy, ...);

/*
 * Reports a failed programming-contract check as a PANIC line
 * "TRAP: errorType("conditionName", File: "fileName", Line: lineNumber)" and
 * aborts the process.
 */
CLILOG_EXPORT void ExceptionalCondition(const char* conditionName, const char* errorType,
                                        const char* fileName, int lineNumber) CLILOG_NORETURN;

/* One complete report from the calling place. */
#define CLILOG_REPORT(elevel, ...)                                                   \
    do {                                                                             \
        if (errstart((elevel), __FILE__, __LINE__, __func__, (const char*)0))        \
            errfinish(errmsg(__VA_ARGS__));                                          \
    } while (0)

/* Contract check: traps with the condition text "!(expr)" when expr is false. */
#define CLILOG_ASSERT(expr)                                                          \
    do {                                                                             \
        if (!(expr)) ExceptionalCondition("!(" #expr ")", "FailedAssertion", __FILE__, __LINE__); \
    } while (0)

#ifdef __cplusplus
}
#endif

#endif /* CLILOG_CLILOG_H */
