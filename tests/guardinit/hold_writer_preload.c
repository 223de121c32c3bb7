/*
 * Preloaded into guardinit by the write-failure tests. It wraps popen so that the
 * N-th child started for writing (N from GUARDINIT_TEST_HOLD_WRITER) has closed its
 * end of the pipe before guardinit writes a line: every write to that child then
 * fails, which is otherwise a race the writer nearly always wins.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>

FILE *
popen(const char *command, const char *type)
{
	static FILE *(*real_popen) (const char *, const char *);
	static int	writers;
	FILE	   *stream;
	const char *hold;

	if (!real_popen)
		real_popen = (FILE *(*) (const char *, const char *)) dlsym(RTLD_NEXT, "popen");
	stream = real_popen(command, type);
	if (!stream || type[0] != 'w')
		return stream;

	hold = getenv("GUARDINIT_TEST_HOLD_WRITER");
	if (hold && atoi(hold) == ++writers)
	{
		/* The write end of a pipe reports POLLERR once no reader is left. */
		struct pollfd pfd = {fileno(stream), 0, 0};

		(void) poll(&pfd, 1, 20000);
	}
	return stream;
}
