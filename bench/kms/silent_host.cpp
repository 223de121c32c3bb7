// The database server's reporting functions as a benchmark program provides them
// to the KMS connector it loads: like a server that filters LOG messages out,
// errstart answers false, so no message text is formatted or written.

#include <cstdio>
#include <cstdlib>

extern "C" {
__attribute__((visibility("default"))) bool errstart(int, const char*, int, const char*, const char*) {
    return false;
}
__attribute__((visibility("default"))) int errmsg(const char*, ...) { return 0; }
__attribute__((visibility("default"))) void errfinish(int, ...) {}
__attribute__((visibility("default"))) void ExceptionalCondition(const char* condition, const char*,
                                                                 const char* file, int line) {
    std::fprintf(stderr, "TRAP: %s (%s:%d)\n", condition, file, line);
    std::abort();
}
}
