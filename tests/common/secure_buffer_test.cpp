#include "common/secure_buffer.h"

#include "common/singleton.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <type_traits>

namespace {

TEST(SecureBuffer, BehavesAsAByteVectorAndWipesOnRequest) {
    const char key[] = "0123456789abcdef";
    common_routines::SecureBuffer buffer(key, 16);
    ASSERT_EQ(buffer.size(), 16u);
    EXPECT_EQ(std::string(buffer.chars(), buffer.size()), "0123456789abcdef");
    buffer.resize(64);  // reallocation hands the old block to the wiping allocator
    EXPECT_EQ(buffer[0], '0');
    EXPECT_EQ(buffer[20], 0);

    const uint8_t* storage = buffer.data();
    const size_t capacity = buffer.capacity();
    buffer.Wipe();
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.data(), storage) << "Wipe keeps the storage, so it can be inspected";
    for (size_t i = 0; i < capacity; ++i) ASSERT_EQ(storage[i], 0) << i;

    common_routines::SecureBuffer copy = common_routines::SecureBuffer(key, 4);
    EXPECT_EQ(copy, common_routines::SecureBuffer(key, 4));
}

TEST(SecureBuffer, WipesStringStorage) {
    std::string secret(40, 's');
    secret.resize(10);
    const char* storage = secret.data();
    common_routines::SecureWipe(secret);
    EXPECT_TRUE(secret.empty());
    for (size_t i = 0; i < 40; ++i) ASSERT_EQ(storage[i], 0) << i;
}

TEST(SecureString, WipesItsStorageAndKeepsItAcrossAssignment) {
    using common_routines::SecureString;
    // A short text lives in the object itself, where no allocator sees it: the
    // destructor wipes it there.
    alignas(SecureString) unsigned char raw[sizeof(SecureString)];
    auto* pin = new (raw) SecureString("pin-4711");
    ASSERT_EQ(pin->view(), "pin-4711");
    pin->~SecureString();
    const std::string left(reinterpret_cast<const char*>(raw), sizeof raw);
    EXPECT_EQ(left.find("4711"), std::string::npos);

    // Text assigned to a reserved string stays in the reserved block, so no
    // block holding part of it is left behind by growing.
    SecureString body;
    body.reserve(200);
    const char* storage = body.data();
    body = "{\"password\":";
    body += std::string(100, 'p');
    EXPECT_EQ(body.data(), storage);
    const size_t capacity = body.capacity();
    body.Wipe();
    EXPECT_TRUE(body.empty());
    for (size_t i = 0; i < capacity; ++i) ASSERT_EQ(storage[i], 0) << i;
}

class Counter : public common_routines::Singleton<Counter> {
public:
    int value = 0;

private:
    friend class common_routines::Singleton<Counter>;
    Counter() { ++constructed; }

public:
    static inline int constructed = 0;
};

TEST(Singleton, OneInstanceCreatedOnFirstUse) {
    EXPECT_EQ(Counter::constructed, 0);
    Counter::Instance().value = 7;
    EXPECT_EQ(Counter::Instance().value, 7);
    EXPECT_EQ(&Counter::Instance(), &Counter::Instance());
    EXPECT_EQ(Counter::constructed, 1);
    static_assert(!std::is_copy_constructible_v<Counter>);
    static_assert(!std::is_copy_assignable_v<Counter>);
    static_assert(!std::is_default_constructible_v<Counter>);
}

}  // namespace
