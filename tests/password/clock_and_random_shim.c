/* Preloaded into the module by tests. It freezes every wall-clock source at one
 * instant, so output that depended on the time would repeat between runs, and,
 * when SHIM_FAIL_GETRANDOM is set, makes getrandom fail with EIO. */

#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static const time_t kFrozenSeconds = 1700000000;

int clock_gettime(clockid_t clk, struct timespec* ts) {
    (void)clk;
    ts->tv_sec = kFrozenSeconds;
    ts->tv_nsec = 123456789;
    return 0;
}

int gettimeofday(struct timeval* restrict tv, void* restrict tz) {
    (void)tz;
    tv->tv_sec = kFrozenSeconds;
    tv->tv_usec = 123456;
    return 0;
}

time_t time(time_t* out) {
    if (out != NULL) {
        *out = kFrozenSeconds;
    }
    return kFrozenSeconds;
}

ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
    if (getenv("SHIM_FAIL_GETRANDOM") != NULL) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_getrandom, buf, len, flags);
}
