#include "postgres_fe.h"

#include "common/logging.h"
#include "common/string.h"

#include "pg_frontend.h"

StaticAssertDecl(GUARDINIT_MAXPGPATH == MAXPGPATH, "path buffers must match the server's MAXPGPATH");

const char *
gi_get_progname(const char *argv0)
{
	return get_progname(argv0);
}

void
gi_init_frontend(const char *argv0, const char *text_domain)
{
	pg_logging_init(argv0);
	set_pglocale_pgservice(argv0, text_domain);
}

int
gi_find_my_exec(const char *argv0, char *retpath)
{
	return find_my_exec(argv0, retpath);
}

void
gi_canonicalize_path(char *path)
{
	canonicalize_path(path);
}

char *
gi_simple_prompt(const char *prompt, bool echo)
{
	return simple_prompt(prompt, echo);
}

char *
gi_escape_single_quotes(const char *src)
{
	return escape_single_quotes_ascii(src);
}

/*
 * guardinit is linked with --wrap=fopen, so the streams that the prompt opens on
 * the terminal come from here. A stream opened for reading is unbuffered: its
 * buffer would hold the typed password and be freed unwiped when the prompt
 * closes the stream.
 */
extern FILE *__real_fopen(const char *path, const char *mode);
extern FILE *__wrap_fopen(const char *path, const char *mode);

FILE *
__wrap_fopen(const char *path, const char *mode)
{
	FILE	   *stream = __real_fopen(path, mode);

	if (stream != NULL && mode[0] == 'r')
		setvbuf(stream, NULL, _IONBF, 0);
	return stream;
}

int
gi_pclose_check(FILE *stream)
{
	return pclose_check(stream);
}
