// KmsGetValue through libkeydepot, loaded with dlopen as the database server
// loads it, for a static key and for a key of the unchanged dynamic file. The
// baseline is one stat() of the dynamic file in the same process: a lookup may
// cost that one stat, but no read of the file. Each lookup reports its time as
// the counter "per_stat" (lookup time / stat time).
//
// The program provides the host services (silent_host.cpp), like the server with LOG
// messages filtered out: errstart answers false, so no text is formatted.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "kms/kms_function_list.h"

namespace {

struct Setup {
    std::string dir;
    std::string dynamicPath;
    KmsFunctionList* table = nullptr;
    double statNanoseconds = 0;
};

double MeasureStatNanoseconds(const std::string& path) {
    constexpr int kRounds = 200000;
    struct stat st {};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
        stat(path.c_str(), &st);
        benchmark::DoNotOptimize(st);
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / kRounds;
}

// Writes the two parameter files, loads and initialises the connector once.
const Setup* Prepare() {
    static Setup setup;
    static bool ok = [] {
        char tmpl[] = "/tmp/keydepot-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return false;
        setup.dir = tmpl;
        std::atexit([] { std::filesystem::remove_all(setup.dir); });
        if (EncryptionInit(KEYDEPOT_BENCH_PLUGIN_DIR, nullptr, nullptr, nullptr) != 0) return false;
        std::string staticText = "actual_master_key = 00112233445566778899aabbccddeeff\n"
                                 "master_key_value_00000000_000000_000 = 00112233445566778899aabbccddeeff\n"
                                 "wal_key = 8899aabbccddeeff0011223344556677\n";
        if (StoreWriteFile(KMS, setup.dir + "/kms_static_params.cfg", staticText) != 0) return false;
        setup.dynamicPath = setup.dir + "/kms_dynamic_params.cfg";
        std::string dynamicText;
        for (int i = 0; i < 50; ++i) dynamicText += "param_" + std::to_string(i) + " = value-" + std::to_string(i) + "\n";
        std::FILE* f = std::fopen(setup.dynamicPath.c_str(), "w");
        if (f == nullptr) return false;
        std::fputs(dynamicText.c_str(), f);
        std::fclose(f);

        void* library = dlopen(KEYDEPOT_BENCH_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
        auto getList = library ? reinterpret_cast<KmsGetFunctionListFn>(dlsym(library, "KmsGetFunctionList"))
                               : nullptr;
        if (getList == nullptr || getList(&setup.table) != 0) return false;
        if (setup.table->KmsInit(setup.dir.c_str(), KEYDEPOT_BENCH_PLUGIN_DIR) != 0) return false;
        setup.statNanoseconds = MeasureStatNanoseconds(setup.dynamicPath);
        return true;
    }();
    return ok ? &setup : nullptr;
}

void Lookup(benchmark::State& state, const char* key) {
    const Setup* setup = Prepare();
    if (setup == nullptr) return state.SkipWithError("connector not initialised");
    uint8_t buffer[256];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        size_t size = sizeof(buffer);
        if (setup->table->KmsGetValue("db", "cluster", "sub", key, buffer, &size) != 0) {
            return state.SkipWithError("lookup failed");
        }
        benchmark::DoNotOptimize(buffer);
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    state.counters["per_stat"] = elapsed.count() / static_cast<double>(state.iterations()) / setup->statNanoseconds;
}

void BM_StaticKeyLookup(benchmark::State& state) { Lookup(state, "wal_key"); }
BENCHMARK(BM_StaticKeyLookup);

void BM_DynamicKeyLookup(benchmark::State& state) { Lookup(state, "param_42"); }
BENCHMARK(BM_DynamicKeyLookup);

// The baseline itself, for reference.
void BM_StatBaseline(benchmark::State& state) {
    const Setup* setup = Prepare();
    if (setup == nullptr) return state.SkipWithError("connector not initialised");
    struct stat st {};
    for (auto _ : state) {
        stat(setup->dynamicPath.c_str(), &st);
        benchmark::DoNotOptimize(st);
    }
}
BENCHMARK(BM_StatBaseline);

}  // namespace

BENCHMARK_MAIN();
