// KmsGetValue through libkmsremote (loaded with dlopen as the database server
// loads it, token held) against the Vault double on this host, compared with a
// bare libcurl loop that re-uses one handle for the same HTTPS request. The
// counter "per_bare" is the connector's time per value over the bare request's
// time, measured in the same process (target: at most 1.1; see
// BM_KmsRemoteGetValue for how it is measured). The counter
// "connections" counts the TLS connections used while measured, read from the
// double's request log: 2 (the connector's, opened at Init and kept while the
// server stays up, and the bare client's); more would mean new handshakes.
//
// The program provides the host services (silent_host.cpp) like a server that filters LOG
// messages out: errstart answers false.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <json/json.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "credentials/kms_credentials.h"
#include "kms/kms_function_list.h"

namespace {

constexpr const char* kValueUrlPath = "/v1/kv/data/db/cluster/sub/master_key";

struct Setup {
    std::string dir;
    pid_t double_pid = -1;
    int port = 0;
    KmsFunctionList* table = nullptr;
    std::string token;  // for the bare loop
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Distinct connection numbers in the double's log after `offset` bytes.
int ConnectionsSince(const std::string& log, size_t offset) {
    std::set<int> connections;
    std::istringstream lines(log.substr(offset));
    Json::Reader reader;
    for (std::string line; std::getline(lines, line);) {
        Json::Value request;
        if (reader.parse(line, request)) connections.insert(request["conn"].asInt());
    }
    return static_cast<int>(connections.size());
}

// Starts the double, writes the settings file, loads and initialises the
// connector and stores one value.
const Setup* Prepare() {
    static Setup setup;
    static bool ok = [] {
        char tmpl[] = "/tmp/kmsremote-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return false;
        setup.dir = tmpl;
        std::atexit([] {
            if (setup.double_pid > 0) {
                kill(setup.double_pid, SIGTERM);
                waitpid(setup.double_pid, nullptr, 0);
            }
            std::filesystem::remove_all(setup.dir);
        });
        std::ofstream(setup.dir + "/control.json") << R"({"users":{"bench":"bench-password"}})";
        int fds[2];
        if (pipe(fds) != 0) return false;
        setup.double_pid = fork();
        if (setup.double_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // gone with the benchmark, even after a crash
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            execlp("python3", "python3", KMSREMOTE_BENCH_DOUBLE, "--dir", setup.dir.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::FILE* out = fdopen(fds[0], "r");
        if (out == nullptr || std::fscanf(out, "PORT %d", &setup.port) != 1) return false;
        std::fclose(out);

        std::vector<KmsCredentialsItem> items = {
            {"127.0.0.1", setup.port, KMS_CREDENTIALS_USERPASS, "bench", "bench-password"}};
        if (KmsCredentialsSave(KMSREMOTE_BENCH_PLUGIN_DIR, nullptr, nullptr, nullptr, KMS,
                               setup.dir + "/" + kKmsCredentialsFileName, "cluster", items) != 0) {
            return false;
        }
        void* library = dlopen(KMSREMOTE_BENCH_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
        auto getList = library ? reinterpret_cast<KmsGetFunctionListFn>(dlsym(library, "KmsGetFunctionList"))
                               : nullptr;
        if (getList == nullptr || getList(&setup.table) != 0) return false;
        if (setup.table->KmsInit(setup.dir.c_str(), KMSREMOTE_BENCH_PLUGIN_DIR) != 0) return false;
        if (setup.table->KmsSetValue("db", "cluster", "sub", "master_key", "00112233445566778899aabbccddeeff") != 0) {
            return false;
        }

        // A token of its own for the bare loop.
        CURL* curl = curl_easy_init();
        std::string answer;
        const std::string url = "https://127.0.0.1:" + std::to_string(setup.port) + "/v1/auth/userpass/login/bench";
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{\"password\":\"bench-password\"}");
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        const CURLcode code = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        Json::Value login;
        if (code != CURLE_OK || !Json::Reader().parse(answer, login)) return false;
        setup.token = login["auth"]["client_token"].asString();
        return !setup.token.empty();
    }();
    return ok ? &setup : nullptr;
}

// The same GET as the connector's, on one re-used handle.
class BareClient {
public:
    explicit BareClient(const Setup& setup) : curl_(curl_easy_init()) {
        url_ = "https://127.0.0.1:" + std::to_string(setup.port) + kValueUrlPath;
        headers_ = curl_slist_append(nullptr, ("X-Vault-Token:" + setup.token).c_str());
        curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer_);
    }
    ~BareClient() {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(curl_);
    }
    bool Get() {
        answer_.clear();
        long status = 0;
        return curl_easy_perform(curl_) == CURLE_OK &&
               curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }

private:
    CURL* curl_;
    curl_slist* headers_ = nullptr;
    std::string url_;
    std::string answer_;
};

// Time of the calling thread: wall clock, and CPU time (the client's own work,
// without the double's).
struct Spent {
    double wall = 0;
    double cpu = 0;
};

double Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Body>
bool Measure(Spent& spent, Body&& body) {
    const double wall = Now(CLOCK_MONOTONIC);
    const double cpu = Now(CLOCK_THREAD_CPUTIME_ID);
    const bool ok = body();
    spent.cpu += Now(CLOCK_THREAD_CPUTIME_ID) - cpu;
    spent.wall += Now(CLOCK_MONOTONIC) - wall;
    return ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Each iteration makes blocks of connector and bare requests in the order
// connector, bare, bare, connector, so that the cost of switching between the
// two connections falls on both alike. The machine is shared, so the reported
// ratios are medians over the iterations, which a burst of load elsewhere
// does not move much:
//   per_bare      wall-clock time per value over the bare request's
//   cpu_per_bare  the client's own CPU time per value over the bare client's
void BM_KmsRemoteGetValue(benchmark::State& state) {
    const Setup* setup = Prepare();
    if (setup == nullptr) return state.SkipWithError("connector not initialised");
    BareClient bare(*setup);
    if (!bare.Get()) return state.SkipWithError("bare request failed");  // connects, as Init did
    const size_t log_offset = ReadAll(setup->dir + "/requests.jsonl").size();
    constexpr int kBlock = 4;
    uint8_t buffer[256];
    auto connector_block = [&] {
        for (int i = 0; i < kBlock; ++i) {
            size_t size = sizeof(buffer);
            if (setup->table->KmsGetValue("db", "cluster", "sub", "master_key", buffer, &size) != 0) return false;
            benchmark::DoNotOptimize(buffer);
        }
        return true;
    };
    auto bare_block = [&] {
        for (int i = 0; i < kBlock; ++i) {
            if (!bare.Get()) return false;
        }
        return true;
    };
    std::vector<double> wall_ratios;
    std::vector<double> cpu_ratios;
    for (auto _ : state) {
        Spent connector;
        Spent plain;
        if (!Measure(connector, connector_block) || !Measure(plain, bare_block) || !Measure(plain, bare_block) ||
            !Measure(connector, connector_block)) {
            return state.SkipWithError("request failed");
        }
        wall_ratios.push_back(connector.wall / plain.wall);
        cpu_ratios.push_back(connector.cpu / plain.cpu);
    }
    state.counters["per_bare"] = Median(wall_ratios);
    state.counters["cpu_per_bare"] = Median(cpu_ratios);
    // Connections used while measured: the connector's (opened at Init and kept
    // while the server stays up) and the bare client's; more means new handshakes.
    state.counters["connections"] = ConnectionsSince(ReadAll(setup->dir + "/requests.jsonl"), log_offset);
}
BENCHMARK(BM_KmsRemoteGetValue)->Unit(benchmark::kMicrosecond);

// The baseline itself, for reference.
void BM_BareCurlGet(benchmark::State& state) {
    const Setup* setup = Prepare();
    if (setup == nullptr) return state.SkipWithError("connector not initialised");
    BareClient client(*setup);
    for (auto _ : state) {
        if (!client.Get()) return state.SkipWithError("bare request failed");
    }
}
BENCHMARK(BM_BareCurlGet)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
