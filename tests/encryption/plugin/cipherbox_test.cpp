// Behaviour every build of the encryption plug-in shares: the function table,
// argument checks, the all-zero rule, length rules and independence of calls.

#include <sys/mman.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "common/error_code.h"
#include "plugin_fixture.h"

namespace cipherbox_test {
namespace {

constexpr std::array<const char*, 10> kExportNames = {
    "PluginGetFunctionList", "PluginInit",       "PluginEncrypt",     "PluginDecrypt",
    "PluginGenerateKey",     "PluginGenerateIv", "PluginGeneratePasswordBasedKey",
    "PluginGetBlockSize",    "PluginGetKeySize", "PluginGetIvSize"};

TEST(CipherboxTable, EntriesAreTheExportsInOrder) {
    const Plugin& p = Plugin::Get();
    auto getList = reinterpret_cast<PluginGetFunctionListFunc>(p.Symbol("PluginGetFunctionList"));
    ASSERT_NE(getList, nullptr);
    EXPECT_EQ(getList(nullptr), ERR_NULL_POINTER);

    EncryptionFunctionList* list = nullptr;
    ASSERT_EQ(getList(&list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list, p.table) << "the table is one static instance";

    void* entries[10];
    static_assert(sizeof(EncryptionFunctionList) == sizeof(entries));
    std::memcpy(entries, list, sizeof(entries));
    for (size_t i = 0; i < kExportNames.size(); ++i) {
        EXPECT_NE(entries[i], nullptr) << kExportNames[i];
        EXPECT_EQ(entries[i], p.Symbol(kExportNames[i])) << "table slot " << i << " is not " << kExportNames[i];
    }
}

TEST(CipherboxInit, IsIdempotentAndOptional) {
    EXPECT_EQ(Fn().PluginInit(), 0);
    EXPECT_EQ(Fn().PluginInit(), 0);
    EXPECT_GT(KeySize(), 0);
    EXPECT_GT(IvSize(), 0);
    EXPECT_GT(BlockSize(), 0);
}

TEST(CipherboxArguments, NullPointersAreRefused) {
    Bytes buf(64, 1), out(64), key(static_cast<size_t>(KeySize())), iv(static_cast<size_t>(IvSize()));
    const EncryptionFunctionList& f = Fn();
    for (auto crypt : {f.PluginEncrypt, f.PluginDecrypt}) {
        for (bool stream : {false, true}) {
            EXPECT_EQ(crypt(nullptr, 64, out.data(), key.data(), iv.data(), stream), ERR_NULL_POINTER);
            EXPECT_EQ(crypt(buf.data(), 64, nullptr, key.data(), iv.data(), stream), ERR_NULL_POINTER);
            EXPECT_EQ(crypt(buf.data(), 64, out.data(), nullptr, iv.data(), stream), ERR_NULL_POINTER);
            EXPECT_EQ(crypt(buf.data(), 64, out.data(), key.data(), nullptr, stream), ERR_NULL_POINTER);
        }
    }
    EXPECT_EQ(f.PluginGenerateKey(nullptr, KeySize()), ERR_NULL_POINTER);
    EXPECT_EQ(f.PluginGenerateIv(nullptr, IvSize()), ERR_NULL_POINTER);
    const uint8_t pw[] = "pw";
    const uint8_t salt[] = "salt";
    const int ks = KeySize(), is = IvSize();
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(nullptr, ks, iv.data(), is, pw, 2, salt, 4, 1), ERR_NULL_POINTER);
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, nullptr, is, pw, 2, salt, 4, 1), ERR_NULL_POINTER);
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, iv.data(), is, nullptr, 2, salt, 4, 1),
              ERR_NULL_POINTER);
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, iv.data(), is, pw, 2, nullptr, 4, 1),
              ERR_NULL_POINTER);
    EXPECT_EQ(f.PluginGetBlockSize(nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(f.PluginGetKeySize(nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(f.PluginGetIvSize(nullptr), ERR_NULL_POINTER);
    // Nothing was written by the refused calls.
    EXPECT_EQ(out, Bytes(64, 0));
}

TEST(CipherboxArguments, SizeMismatchesAreRefusedWithoutWriting) {
    const int ks = KeySize(), is = IvSize();
    Bytes key(static_cast<size_t>(ks) + 1, 0xAB), iv(static_cast<size_t>(is) + 1, 0xCD);
    const Bytes keyBefore = key, ivBefore = iv;
    const EncryptionFunctionList& f = Fn();
    EXPECT_EQ(f.PluginGenerateKey(key.data(), ks - 1), ERR_INPUT_DATA);
    EXPECT_EQ(f.PluginGenerateKey(key.data(), ks + 1), ERR_INPUT_DATA);
    EXPECT_EQ(f.PluginGenerateIv(iv.data(), is - 1), ERR_INPUT_DATA);
    EXPECT_EQ(f.PluginGenerateIv(iv.data(), is + 1), ERR_INPUT_DATA);
    const uint8_t pw[] = "password";
    const uint8_t salt[] = "salt";
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks - 1, iv.data(), is, pw, 8, salt, 4, 1), ERR_INPUT_DATA);
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, iv.data(), is + 1, pw, 8, salt, 4, 1), ERR_INPUT_DATA);
    EXPECT_EQ(key, keyBefore);
    EXPECT_EQ(iv, ivBefore);
}

TEST(CipherboxArguments, NegativeDerivationLengthsAreRefused) {
    // -1 would make OpenSSL measure the password up to a zero byte and other
    // negative values would be read as huge lengths.
    Bytes key(static_cast<size_t>(KeySize())), iv(static_cast<size_t>(IvSize()));
    const uint8_t pw[4] = {'a', 'b', 'c', 'd'};
    const uint8_t salt[4] = {'s', 'a', 'l', 't'};
    const EncryptionFunctionList& f = Fn();
    const int ks = KeySize(), is = IvSize();
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, iv.data(), is, pw, -1, salt, 4, 1), ERR_INPUT_DATA);
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, iv.data(), is, pw, 4, salt, -5, 1), ERR_INPUT_DATA);
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, iv.data(), is, pw, 4, salt, 4, 0), ERR_KEY_GENERATION);
    EXPECT_EQ(f.PluginGeneratePasswordBasedKey(key.data(), ks, iv.data(), is, pw, 4, salt, 4, -3),
              ERR_KEY_GENERATION);
}

TEST(CipherboxLength, BlockModeNeedsWholeBlocksStreamModeDoesNot) {
    const size_t bs = static_cast<size_t>(BlockSize());
    Bytes key = RandomBytes(static_cast<size_t>(KeySize())), iv = RandomBytes(static_cast<size_t>(IvSize()));
    Bytes in = RandomBytes(4 * bs + 17), out(in.size());
    const EncryptionFunctionList& f = Fn();
    for (auto crypt : {f.PluginEncrypt, f.PluginDecrypt}) {
        EXPECT_EQ(crypt(in.data(), 0, out.data(), key.data(), iv.data(), false), ERR_FORMAT);
        if (bs > 1) {
            EXPECT_EQ(crypt(in.data(), bs - 1, out.data(), key.data(), iv.data(), false), ERR_FORMAT);
            EXPECT_EQ(crypt(in.data(), bs + 1, out.data(), key.data(), iv.data(), false), ERR_FORMAT);
            EXPECT_EQ(crypt(in.data(), 2 * bs + bs / 2, out.data(), key.data(), iv.data(), false), ERR_FORMAT);
        }
        EXPECT_EQ(crypt(in.data(), bs, out.data(), key.data(), iv.data(), false), 0);
        EXPECT_EQ(crypt(in.data(), 3 * bs, out.data(), key.data(), iv.data(), false), 0);
    }
    // Stream mode: 17 bytes in, exactly 17 bytes out, the rest untouched.
    std::fill(out.begin(), out.end(), 0x5A);
    ASSERT_EQ(f.PluginEncrypt(in.data(), 17, out.data(), key.data(), iv.data(), true), 0);
    EXPECT_NE(Bytes(out.begin(), out.begin() + 17), Bytes(in.begin(), in.begin() + 17));
    EXPECT_EQ(Bytes(out.begin() + 17, out.end()), Bytes(out.size() - 17, 0x5A));
    Bytes back(17);
    ASSERT_EQ(f.PluginDecrypt(out.data(), 17, back.data(), key.data(), iv.data(), true), 0);
    EXPECT_EQ(back, Bytes(in.begin(), in.begin() + 17));
}

TEST(CipherboxLength, OversizedBufferIsRefusedBeforeWriting) {
    // One update call counts in int. A size of 4 GiB + 16 would be cut to 16
    // bytes; it must be refused with nothing written. The mapping is reserved,
    // not committed; only its first page is ever touched.
    const size_t size = (size_t{1} << 32) + 16;
    void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* buf = static_cast<uint8_t*>(mem);
    for (int i = 0; i < 32; ++i) {
        buf[i] = static_cast<uint8_t>(i + 1);
    }
    Bytes key = RandomBytes(static_cast<size_t>(KeySize())), iv = RandomBytes(static_cast<size_t>(IvSize()));
    EXPECT_EQ(Fn().PluginEncrypt(buf, size, buf, key.data(), iv.data(), true), ERR_ENCRYPT);
    EXPECT_EQ(Fn().PluginDecrypt(buf, size, buf, key.data(), iv.data(), true), ERR_DECRYPT);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(buf[i], static_cast<uint8_t>(i + 1)) << "byte " << i << " was overwritten";
    }
    munmap(mem, size);
}

TEST(CipherboxZero, AllZeroBuffersPassThroughBothWays) {
    Bytes key = RandomBytes(static_cast<size_t>(KeySize())), iv = RandomBytes(static_cast<size_t>(IvSize()));
    const size_t bs = static_cast<size_t>(BlockSize());
    const EncryptionFunctionList& f = Fn();
    // Sizes and start offsets cover the byte-wise head, the 64-byte steps and the tail.
    for (size_t size : {bs * 4, size_t{8192}, size_t{8192} + 3 * bs}) {
        for (size_t offset : {size_t{0}, size_t{3}}) {
            for (bool stream : {false, true}) {
                for (auto crypt : {f.PluginEncrypt, f.PluginDecrypt}) {
                    Bytes storage(size + offset, 0);
                    uint8_t* in = storage.data() + offset;
                    ASSERT_EQ(crypt(in, size, in, key.data(), iv.data(), stream), 0);
                    EXPECT_EQ(storage, Bytes(size + offset, 0)) << "in place, size " << size;

                    Bytes out(size, 0xEE);
                    ASSERT_EQ(crypt(in, size, out.data(), key.data(), iv.data(), stream), 0);
                    EXPECT_EQ(out, Bytes(size, 0)) << "out of place, size " << size << " stream " << stream;
                }
            }
        }
    }
}

TEST(CipherboxZero, OneNonZeroByteAnywhereIsEncrypted) {
    Bytes key = RandomBytes(static_cast<size_t>(KeySize())), iv = RandomBytes(static_cast<size_t>(IvSize()));
    const size_t size = 8192;
    // First byte, inside the unaligned head, inside a 64-byte step, in the tail.
    for (size_t offset : {size_t{0}, size_t{1}}) {
        for (size_t pos : {size_t{0}, size_t{5}, size_t{100}, size_t{4095}, size - 1}) {
            for (bool stream : {false, true}) {
                Bytes storage(size + offset, 0);
                uint8_t* page = storage.data() + offset;
                page[pos] = 0x01;
                const Bytes plain(page, page + size);
                Bytes enc(size), dec(size);
                ASSERT_EQ(Fn().PluginEncrypt(page, size, enc.data(), key.data(), iv.data(), stream), 0);
                EXPECT_NE(enc, plain) << "byte " << pos << " offset " << offset;
                ASSERT_EQ(Fn().PluginDecrypt(enc.data(), size, dec.data(), key.data(), iv.data(), stream), 0);
                EXPECT_EQ(dec, plain) << "byte " << pos << " offset " << offset;
            }
        }
    }
}

TEST(CipherboxCalls, NoStateCarriesFromOneCallToTheNext) {
    Bytes key = RandomBytes(static_cast<size_t>(KeySize())), iv = RandomBytes(static_cast<size_t>(IvSize()));
    const Bytes page = RandomBytes(8192);
    const size_t bs = static_cast<size_t>(BlockSize());
    for (bool stream : {false, true}) {
        Bytes first(page.size()), again(page.size());
        ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), first.data(), key.data(), iv.data(), stream), 0);
        // Calls that end inside a block, cross key-meshing boundaries or use
        // other keys must not influence the next one.
        Bytes junk = RandomBytes(3000), sink(3000), otherKey = RandomBytes(key.size());
        for (size_t n : {size_t{17}, size_t{1023}, size_t{1500}, size_t{2999}}) {
            const size_t len = stream ? n : (n / bs) * bs;
            ASSERT_EQ(Fn().PluginEncrypt(junk.data(), len, sink.data(), otherKey.data(), iv.data(), stream), 0);
            ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), again.data(), key.data(), iv.data(), stream), 0);
            EXPECT_EQ(again, first) << "after a " << len << "-byte call, stream " << stream;
            ASSERT_EQ(Fn().PluginDecrypt(junk.data(), len, sink.data(), otherKey.data(), iv.data(), stream), 0);
            Bytes plain(page.size());
            ASSERT_EQ(Fn().PluginDecrypt(first.data(), first.size(), plain.data(), key.data(), iv.data(), stream), 0);
            EXPECT_EQ(plain, page) << "after a " << len << "-byte call, stream " << stream;
        }
    }
}

TEST(CipherboxCalls, InPlaceEqualsOutOfPlace) {
    Bytes key = RandomBytes(static_cast<size_t>(KeySize())), iv = RandomBytes(static_cast<size_t>(IvSize()));
    for (bool stream : {false, true}) {
        Bytes page = RandomBytes(8192), out(page.size());
        ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), out.data(), key.data(), iv.data(), stream), 0);
        const Bytes plain = page;
        ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), page.data(), key.data(), iv.data(), stream), 0);
        EXPECT_EQ(page, out);
        ASSERT_EQ(Fn().PluginDecrypt(page.data(), page.size(), page.data(), key.data(), iv.data(), stream), 0);
        EXPECT_EQ(page, plain);
    }
}

// The plug-in as the first user of OpenSSL in a process that then exits
// normally: the core is torn down at exit, so that must happen while OpenSSL is
// still usable.
void UseFirstThenExit() {
    ASSERT_EQ(Fn().PluginInit(), 0);
    uint8_t key[64] = {1}, iv[16] = {2}, page[8192] = {3}, out[8192];
    ASSERT_EQ(Fn().PluginEncrypt(page, sizeof(page), out, key, iv, false), 0);
    ASSERT_EQ(Fn().PluginEncrypt(page, 100, out, key, iv, true), 0);
    std::exit(0);
}

TEST(CipherboxLifecycle, ProcessExitsCleanlyAfterUse) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(UseFirstThenExit(), ::testing::ExitedWithCode(0), "");
}

TEST(CipherboxRandom, KeysAndIvsAreFreshEachCall) {
    const size_t ks = static_cast<size_t>(KeySize()), is = static_cast<size_t>(IvSize());
    Bytes k1(ks), k2(ks), i1(is), i2(is);
    ASSERT_EQ(Fn().PluginGenerateKey(k1.data(), KeySize()), 0);
    ASSERT_EQ(Fn().PluginGenerateKey(k2.data(), KeySize()), 0);
    ASSERT_EQ(Fn().PluginGenerateIv(i1.data(), IvSize()), 0);
    ASSERT_EQ(Fn().PluginGenerateIv(i2.data(), IvSize()), 0);
    EXPECT_NE(k1, k2);
    EXPECT_NE(i1, i2);
    EXPECT_NE(k1, Bytes(ks, 0));
}

}  // namespace
}  // namespace cipherbox_test
