// Patroni's /cluster answer as snaprover's master ping reads it. The local
// server is a standby, so the ping asks Patroni (libcurl replaced, the answer
// is the fuzz input) and connects to the leader it names (libpq replaced by a
// server that accepts every statement). Any answer gives a logged failure or a
// ping, never a crash.
#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "curl_double.h"
#include "snaprover.h"

namespace {
// Distinct addresses stand for the opaque libpq objects.
char connection_object;
char recovery_result;
char empty_result;
}  // namespace

extern "C" {
PGconn* PQconnectdbParams(const char* const*, const char* const*, int) {
    return reinterpret_cast<PGconn*>(&connection_object);
}
ConnStatusType PQstatus(const PGconn*) { return CONNECTION_OK; }
char* PQerrorMessage(const PGconn*) { return const_cast<char*>(""); }
void PQfinish(PGconn*) {}
PGresult* PQexec(PGconn*, const char* query) {
    return reinterpret_cast<PGresult*>(std::strstr(query, "pg_is_in_recovery") ? &recovery_result : &empty_result);
}
ExecStatusType PQresultStatus(const PGresult*) { return PGRES_TUPLES_OK; }
int PQntuples(const PGresult* res) { return res == reinterpret_cast<const PGresult*>(&recovery_result) ? 1 : 0; }
int PQnfields(const PGresult* res) { return PQntuples(res); }
int PQgetisnull(const PGresult*, int, int) { return 0; }
char* PQgetvalue(const PGresult*, int, int) { return const_cast<char*>("t"); }
void PQclear(PGresult*) {}
char* PQresultErrorMessage(const PGresult*) { return const_cast<char*>(""); }
char* PQresultErrorField(const PGresult*, int) { return nullptr; }
char* PQescapeLiteral(PGconn*, const char* str, size_t len) {
    std::string quoted = "'" + std::string(str, len) + "'";
    return strdup(quoted.c_str());
}
void PQfreemem(void* p) { std::free(p); }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        snaprover::Options& opt = snaprover::Ctx().opt;
        opt.password = "secret";
        opt.session_id = "fuzz";
        return true;
    }();
    (void)ready;
    curl_double::Answer answer;
    answer.body.assign(reinterpret_cast<const char*>(data), size);
    curl_double::SetScript({answer});
    snaprover::ping_master();
    return 0;
}
