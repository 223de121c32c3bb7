#include "common/secure_buffer.h"

#include "common/singleton.h"

#include <gtest/gtest.h>

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
