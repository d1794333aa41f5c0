#include "pkg/trust/DoNothingVerifier.h"
#include "pkg/trust/IKeyProvider.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "pkg/trust/SecurityLevel0KeyProvider.h"
#include "tests/support/StrategyTestReader.h"

#include <gtest/gtest.h>

using namespace vex::pkg;

namespace
{
TEST(SecurityLevel0Factory, HandsOutTheBuiltInKeyAndAnAcceptingVerifier)
{
    SecurityLevelFactory& factory = SecurityLevel0Factory::instance();
    EXPECT_EQ(&factory, &SecurityLevel0Factory::instance());

    IKeyProvider* keys = factory.keyProvider();
    ASSERT_NE(nullptr, keys);
    EXPECT_EQ(static_cast<IKeyProvider*>(&SecurityLevel0KeyProvider::instance()), keys);
    ASSERT_EQ(8, keys->keyLength());
    const std::vector<unsigned char> expected = {0x3A, 0x9D, 0x04, 0xE2, 0x7B, 0x51, 0xC8, 0x06};
    EXPECT_EQ(expected, std::vector<unsigned char>(keys->key(), keys->key() + 8));

    auto verifier = factory.createVerifier(nullptr);
    ASSERT_NE(nullptr, verifier);
    MemoryStreamReader package(PatternBytes(64));
    EXPECT_TRUE(verifier->verify(&package));
    EXPECT_EQ(0, verifier->bytesToProcess());
    EXPECT_NE(verifier.get(), factory.createVerifier(nullptr).get());
}
}  // namespace
