#include "plugin_fixture.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "test_support.h"

namespace cipherbox_test {

const Plugin& Plugin::Get() {
    static Plugin plugin = [] {
        Plugin p;
        p.handle = dlopen(CIPHERBOX_PATH, RTLD_NOW | RTLD_LOCAL);
        if (p.handle == nullptr) {
            throw std::runtime_error(std::string("cannot open plug-in: ") + dlerror());
        }
        auto getList = reinterpret_cast<PluginGetFunctionListFunc>(dlsym(p.handle, "PluginGetFunctionList"));
        if (getList == nullptr || getList(&p.table) != 0 || p.table == nullptr) {
            throw std::runtime_error("plug-in has no function table");
        }
        return p;
    }();
    return plugin;
}

Bytes RandomBytes(size_t n) {
    Bytes b(n);
    if (n != 0 && RAND_bytes(b.data(), static_cast<int>(n)) != 1) {
        throw std::runtime_error("RAND_bytes failed");
    }
    return b;
}

Bytes RandomNonZeroBytes(size_t n) {
    Bytes b = RandomBytes(n);
    while (n != 0 && IsAllZero(b)) {
        b = RandomBytes(n);
    }
    return b;
}

bool IsAllZero(const Bytes& b) {
    return std::all_of(b.begin(), b.end(), [](uint8_t c) { return c == 0; });
}

Bytes ExpectedRoundTrip(const Bytes& cipherText, const Bytes& plain) {
    return IsAllZero(cipherText) ? Bytes(plain.size(), 0) : plain;
}

Bytes FromHex(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return b;
}

std::string ToHex(const Bytes& b) {
    std::string s;
    char buf[3];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof(buf), "%02x", c);
        s += buf;
    }
    return s;
}

static int QuerySize(PluginGetKeySizeFunc f) {
    int size = -1;
    EXPECT_EQ(f(&size), 0);
    return size;
}

int KeySize() { return QuerySize(Fn().PluginGetKeySize); }
int IvSize() { return QuerySize(Fn().PluginGetIvSize); }
int BlockSize() { return QuerySize(Fn().PluginGetBlockSize); }

Bytes OpensslEnc(const std::vector<std::string>& cipherArgs, const Bytes& key, const Bytes& iv, const Bytes& data,
                 bool decrypt) {
    testsupport::ScratchDir dir;
    testsupport::WriteFileOrDie(dir / "in", std::string(data.begin(), data.end()));
    std::vector<std::string> argv = {"/usr/bin/openssl", "enc"};
    argv.insert(argv.end(), cipherArgs.begin(), cipherArgs.end());
    argv.insert(argv.end(), {decrypt ? "-d" : "-e", "-K", ToHex(key), "-iv", ToHex(iv), "-in", dir / "in", "-out",
                             dir / "out"});
    testsupport::RunResult r = testsupport::Run(argv);
    if (r.exit_code != 0) {
        ADD_FAILURE() << "openssl enc failed: " << r.err;
        return {};
    }
    std::string out = testsupport::ReadFileOrDie(dir / "out");
    return Bytes(out.begin(), out.end());
}

}  // namespace cipherbox_test
