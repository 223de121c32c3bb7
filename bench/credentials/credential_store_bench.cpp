// StoreDeriveKey (identity gathering plus the 2000-iteration derivation) and
// CredTabOpen + CredTabGetPassword + CredTabClose on tables of 10, 1 000 and
// 10 000 records. The table lookup is fitted against O(N); parsing the same
// document alone is measured beside it as the in-process baseline, so the
// ratio of the two shows what the table adds on top of reading JSON.

#include <benchmark/benchmark.h>
#include <json/json.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "credentials/cred_tab.h"
#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace {

bool Initialise() {
    static bool ok = [] {
        setenv("PG_PLUGINS_PATH", CREDENTIAL_BENCH_PLUGIN_DIR, 1);
        return EncryptionInit(nullptr, nullptr, nullptr, nullptr) == 0;
    }();
    return ok;
}

// A scratch directory for the table, removed at exit.
const std::string& ScratchDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/credential-bench-XXXXXX";
        std::string path = mkdtemp(tmpl) ? tmpl : "/tmp";
        std::atexit([] { std::filesystem::remove_all(ScratchDir()); });
        return path;
    }();
    return dir;
}

std::string HostOf(int64_t i) { return "host-" + std::to_string(i) + ".example"; }

Json::Value MakeTable(int64_t records) {
    Json::Value table(Json::arrayValue);
    for (int64_t i = 0; i < records; ++i) {
        Json::Value r;
        r["host"] = HostOf(i);
        r["port"] = 5432u;
        r["database"] = "postgres";
        r["username"] = "backup";
        r["password"] = "password-" + std::to_string(i);
        table.append(r);
    }
    return table;
}

// Writes an encrypted table of `records` records at its own path and points
// the table at it.
bool PrepareTable(int64_t records) {
    std::string path = ScratchDir() + "/table-" + std::to_string(records) + ".cfg";
    cred_tab::SetTablePath(path);
    return StoreWriteFile(POSTGRESQL, path, Json::StyledWriter().write(MakeTable(records))) == 0;
}

void BM_StoreDeriveKey(benchmark::State& state) {
    if (!Initialise()) return state.SkipWithError("encryption plug-in not loaded");
    std::vector<uint8_t> key, iv;
    for (auto _ : state) {
        if (StoreDeriveKey(POSTGRESQL, key, iv) != 0) return state.SkipWithError("derivation failed");
        benchmark::DoNotOptimize(key.data());
    }
}
BENCHMARK(BM_StoreDeriveKey)->Unit(benchmark::kMillisecond);

void BM_CredTabOpenGetClose(benchmark::State& state) {
    if (!Initialise() || !PrepareTable(state.range(0))) return state.SkipWithError("table not prepared");
    // The last record: the lookup walks the whole table.
    std::string host = HostOf(state.range(0) - 1);
    for (auto _ : state) {
        CredTabHandle table = nullptr;
        const char* password = nullptr;
        if (CredTabOpen(&table) != 0 ||
            CredTabGetPassword(table, host.c_str(), 5432, "postgres", "backup", &password) != 0) {
            CredTabClose(table);
            return state.SkipWithError("lookup failed");
        }
        benchmark::DoNotOptimize(password);
        CredTabClose(table);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CredTabOpenGetClose)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

// Baseline: parsing the same plain document, nothing else.
void BM_ParseTableBaseline(benchmark::State& state) {
    std::string text = Json::StyledWriter().write(MakeTable(state.range(0)));
    for (auto _ : state) {
        Json::Value value;
        Json::Reader reader(Json::Features::strictMode());
        if (!reader.parse(text, value, false)) return state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(value);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseTableBaseline)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
