#include <gtest/gtest.h>

#include "app/Version.h"

TEST(VersionTest, OsCodesForEveryKnownPair)
{
    EXPECT_EQ(OsVersionCode(4, 0), 2);
    EXPECT_EQ(OsVersionCode(4, 90), 1);
    EXPECT_EQ(OsVersionCode(4, 10), 0);
    EXPECT_EQ(OsVersionCode(5, 0), 3);
    EXPECT_EQ(OsVersionCode(5, 1), 4);
    EXPECT_EQ(OsVersionCode(5, 2), 5);
    EXPECT_EQ(OsVersionCode(5, 3), 0);
    EXPECT_EQ(OsVersionCode(6, 1), 6);
    EXPECT_EQ(OsVersionCode(3, 0), 255);
    EXPECT_EQ(OsVersionCode(0, 0), 255);
}

TEST(VersionTest, FileVersionPacking)
{
    EXPECT_EQ(PackFileVersion(1, 2, 3, 4), 0x01020304u);
    EXPECT_EQ(PackFileVersion(1, 0x1FF, 0, 0), 0x01FF0000u);  // b is taken mod 256
    EXPECT_EQ(GetFileVersion(false), PackFileVersion(1, 0, 0, 1));
    EXPECT_EQ(GetVersion(false), 6);  // any current Linux kernel
}
