#pragma once

/*
 * The PostgreSQL frontend port and common routines that guardinit uses, behind
 * plain C declarations. The server headers do not compile as C++, so a small C
 * file includes them and forwards these calls; the compiler checks both sides.
 */

#include <stdbool.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the path buffers the routines below fill (the server's MAXPGPATH). */
#define GUARDINIT_MAXPGPATH 1024

/* Program name without directory, from argv[0]. */
const char *gi_get_progname(const char *argv0);

/* Sets up frontend logging, the locale and the message catalog domain. */
void gi_init_frontend(const char *argv0, const char *text_domain);

/* Full path of the running executable, links resolved; 0 on success. */
int gi_find_my_exec(const char *argv0, char *retpath);

/* Cleans a path in place: doubled and trailing separators, "." and ".." parts. */
void gi_canonicalize_path(char *path);

/*
 * Prints `prompt` and reads one line from the terminal (else standard input, with
 * the prompt on standard error). Returns a malloc'ed string without the line end;
 * an empty string at end of input. The terminal is read unbuffered (see
 * __wrap_fopen in pg_frontend.c); standard input must be made unbuffered by the
 * caller before its first read.
 */
char *gi_simple_prompt(const char *prompt, bool echo);

/* Copy with every single quote and backslash doubled; NULL when out of memory. */
char *gi_escape_single_quotes(const char *src);

/* Closes a popen'ed stream; a child's failure is printed to standard error. */
int gi_pclose_check(FILE *stream);

#ifdef __cplusplus
}
#endif
