// Master discovery: on a standby the session's stop waits for the master to
// switch WAL files, so the master is found (directly or through Patroni) and
// asked for a restore point and a WAL switch.

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "db.h"
#include "snaprover.h"

namespace snaprover {

namespace {

// A cluster document of a few members is a few kilobytes; an answer beyond
// this is no cluster document and would only fill the session's memory.
constexpr size_t kMaxClusterAnswer = 16u << 20;

struct Body {
    std::string text;
    bool too_large = false;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
    Body& body = *static_cast<Body*>(user);
    if (body.text.size() + size * count > kMaxClusterAnswer) {
        body.too_large = true;
        return 0;  // ends the transfer
    }
    body.text.append(data, size * count);
    return size * count;
}

// GET of Patroni's /cluster; the body when the status is below 400, nothing
// otherwise. Throws when the exchange itself fails.
std::optional<std::string> GetCluster() {
    const Options& opt = Ctx().opt;
    std::string url = "http://" + opt.patroni_host + ":" + std::to_string(opt.patroni_port) + "/cluster";
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) throw std::runtime_error("curl_easy_init failed");
    Body body;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    // The session waits here before it reads its stop result, so an answer that
    // never comes must not hold it past the stop statement's own time limit
    // (the session would stay behind for good after "stop" gave up on it).
    if (opt.stop_timeout > 0) {
        long limit = static_cast<long>(std::min<int64_t>(opt.stop_timeout, INT_MAX / 1000));
        curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, limit);
    }
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &CollectBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    CURLcode rc = curl_easy_perform(curl.get());
    if (body.too_large) {
        throw std::runtime_error("GET " + url + " failed: answer larger than " + std::to_string(kMaxClusterAnswer) +
                                 " bytes");
    }
    if (rc != CURLE_OK) throw std::runtime_error("GET " + url + " failed: " + curl_easy_strerror(rc));
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400) return std::nullopt;
    return std::move(body.text);
}

// `con` itself when it is the master, a new connection to the leader named by
// Patroni, or nothing.
std::optional<PgConnection> find_master(PgConnection& con, bool& is_con) {
    is_con = false;
    std::vector<Row> rows = con.Exec("SELECT pg_is_in_recovery();");
    if (rows.empty() || rows[0].empty() || !rows[0][0]) throw DbError("pg_is_in_recovery() returned no row");
    if (*rows[0][0] == "f") {
        is_con = true;
        return std::nullopt;
    }
    if (std::optional<std::string> body = GetCluster()) {
        JsonValue cluster = JsonValue::Parse(*body);
        const JsonValue* members = cluster.IsObject() ? cluster.Find("members") : nullptr;
        if (members == nullptr || !members->IsArray()) throw std::runtime_error("no \"members\" in the cluster");
        for (const auto& member : members->Items()) {
            const JsonValue* role = member.IsObject() ? member.Find("role") : nullptr;
            if (role == nullptr) throw std::runtime_error("a cluster member has no \"role\"");
            if (!role->IsString() || role->Text() != "leader") continue;
            const JsonValue* host = member.Find("host");
            const JsonValue* port = member.Find("port");
            if (host == nullptr || port == nullptr) throw std::runtime_error("the leader has no host or port");
            Ctx().log.Info("connect: " + member.Dump());
            return connect("backup_session", host->Text(), port->Text());
        }
    }
    Ctx().log.Info("patroni node not found -> cannot discover master");
    return std::nullopt;
}

}  // namespace

void ping_master() {
    try {
        PgConnection con = connect("backup_ping");
        bool is_con = false;
        std::optional<PgConnection> other = find_master(con, is_con);
        PgConnection* master = is_con ? &con : (other ? &*other : nullptr);
        if (master != nullptr) {
            // The session id goes in as an escaped literal: a quote in it
            // cannot end the name early.
            // The restore point only marks the spot; the WAL switch is what a
            // standby's stop waits for, so a name the server refuses (longer
            // than 63 bytes) is logged and the switch still made.
            try {
                master->Exec(master->Literals("SELECT pg_create_restore_point('{}');", {Ctx().opt.session_id}));
            } catch (const DbError& e) {
                Ctx().log.Failure(e.what(), "ping_master");
            }
            master->Exec("SELECT pg_switch_wal();");
        }
    } catch (const ExitRequest&) {
        throw;
    } catch (const std::exception& e) {
        Ctx().log.Failure(e.what(), "ping_master");
    }
}

}  // namespace snaprover
