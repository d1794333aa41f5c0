#include "DoNothingVerifier.h"
#include "IStreamReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

class UntouchableReader : public IStreamReader
{
public:
    MOCK_METHOD(int64_t, read, (void* buffer, uint64_t length), (override));
    MOCK_METHOD(bool, seek, (uint64_t offset), (override));
    MOCK_METHOD(int64_t, tell, (), (override));
    MOCK_METHOD(int64_t, size, (), (override));
};

TEST(DoNothingVerifier, AcceptsAnyPackageWithoutReadingIt)
{
    testing::StrictMock<UntouchableReader> reader;
    DoNothingVerifier verifier;
    IPkgVerifier& asInterface = verifier;
    EXPECT_TRUE(asInterface.verify(&reader));
    EXPECT_EQ(asInterface.bytesToProcess(), 0);
    EXPECT_EQ(asInterface.securityLevel(), 0);
}

}  // namespace
