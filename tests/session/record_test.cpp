#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "app/OskelExcept.h"
#include "session/HalvoTextRecord.h"
#include "session/HalvoTransData.h"
#include "session/UserInformation.h"

namespace {

using namespace record_test;

template <class Record>
const Record* As(const std::unique_ptr<CHalvoTransData>& record)
{
    return dynamic_cast<const Record*>(record.get());
}

TEST(UserRecord, EmptyRecordIsSixtyTwoBytesExactly)
{
    CTransBlock block;
    CUserInformation().Serialize(block);

    // header, then group, user, name, active, version, address, reserved, password, message,
    // reserved value, reserved text 2: five words and six single-NUL texts.
    const std::vector<std::uint8_t> expected = {
        100, 0, 0, 0, 101, 0, 0, 0, 62, 0, 0, 0,  // type, subtype, total
        0,   0, 0, 0,                             // group id
        0,   0, 0, 0,                             // user id
        0,   1, 0, 0, 0,                          // user name
        0,   0, 0, 0,                             // active
        0,   0, 0, 0,                             // version
        0,   1, 0, 0, 0,                          // address
        0,   1, 0, 0, 0,                          // reserved text
        0,   1, 0, 0, 0,                          // password
        0,   1, 0, 0, 0,                          // message
        0,   0, 0, 0,                             // reserved value
        0,   1, 0, 0, 0,                          // reserved text 2
    };
    EXPECT_EQ(BytesOf(block), expected);

    const auto decoded = CHalvoTransData::CreateFromBlock(block);
    ASSERT_NE(As<CUserInformation>(decoded), nullptr);
    EXPECT_EQ(*As<CUserInformation>(decoded), CUserInformation());
    EXPECT_EQ(Word(block, 8), 0u) << "decoding consumes the block in place";
}

TEST(UserRecord, FieldsSitInTheirOrder)
{
    CUserInformation user;
    user.SetGroupId(0x01020304);
    user.SetUserId(0x0A0B0C0D);
    user.SetUserName("Ann");
    user.SetActive(1);
    user.SetVersion(0x01000001);
    user.SetAddress("10.0.0.2");
    user.SetPassword("pw");
    user.SetMessage("hi");
    CTransBlock block;
    user.Serialize(block);

    ASSERT_EQ(block.Size(), 62u + 3 + 8 + 2 + 2);
    EXPECT_EQ(Word(block, 8), block.Size());
    EXPECT_EQ(Word(block, 12), 0x01020304u);
    EXPECT_EQ(Word(block, 16), 0x0A0B0C0Du);
    EXPECT_EQ(std::memcmp(block.Data() + 20, "Ann\0\x04\0\0\0", 8), 0);
    EXPECT_EQ(Word(block, 28), 1u);
    EXPECT_EQ(Word(block, 32), 0x01000001u);
    EXPECT_EQ(std::memcmp(block.Data() + 36, "10.0.0.2\0\x09\0\0\0", 13), 0);
}

TEST(UserRecord, LocalFlagsAreNotSerialized)
{
    CUserInformation user;
    user.SetUserId(3);
    user.SetOwnSession(1);
    user.MarkVoiceStarted();
    user.MarkActive();
    CTransBlock block;
    user.Serialize(block);
    EXPECT_EQ(block.Size(), 62u);

    const auto decoded = CHalvoTransData::CreateFromBlock(block);
    ASSERT_NE(As<CUserInformation>(decoded), nullptr);
    const CUserInformation& back = *As<CUserInformation>(decoded);
    EXPECT_EQ(back.GetUserId(), 3u);
    EXPECT_TRUE(back.IsActive());
    EXPECT_EQ(back.GetOwnSession(), 0u);
    EXPECT_FALSE(back.IsVoiceStarted());
}

TEST(RecordBlock, AppendingToANullBlockStartsWithTheHeader)
{
    CTransBlock block;
    EXPECT_EQ(CHalvoTransData::BlockLength(block), 0u);
    CHalvoTransData().Serialize(block);
    ASSERT_EQ(block.Size(), 12u);
    EXPECT_EQ(Word(block, 0), 1u);
    EXPECT_EQ(Word(block, 4), 100u);
    EXPECT_EQ(Word(block, 8), 12u);
    const auto base = CHalvoTransData::CreateFromBlock(block.Data(), block.Size());
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->GetType(), 1u);
    EXPECT_EQ(base->GetSubType(), 100u);

    CHalvoTransData::AppendU32(block, 0xCAFEF00D);
    CHalvoTransData::AppendBytes(block, "xyz", 3);
    CHalvoTransData::AppendText(block, "");
    EXPECT_EQ(block.Size(), 12u + 4 + 7 + 5);
    EXPECT_EQ(CHalvoTransData::BlockLength(block), block.Size());

    std::string text;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    std::uint32_t value = 0;
    ASSERT_TRUE(CHalvoTransData::PopText(block, text));
    EXPECT_EQ(text, "");
    ASSERT_TRUE(CHalvoTransData::PopBytes(block, bytes, count));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(bytes, block.Data() + 16) << "bytes are read in place";
    ASSERT_TRUE(CHalvoTransData::PopU32(block, value));
    EXPECT_EQ(value, 0xCAFEF00Du);
    EXPECT_TRUE(CHalvoTransData::PopHeader(block));
    EXPECT_EQ(CHalvoTransData::BlockLength(block), 0u);

    CHalvoTransData::FreeBlock(block);
    EXPECT_TRUE(block.IsNull());
}

TEST(RecordBlock, NestedRecordCarriesTwelveAsItsTotal)
{
    std::mt19937 rng(11);
    const CUserInformation inner = RandomUser(rng);
    CTransBlock block;
    CHalvoTransData outer(103, 100);
    outer.Serialize(block);
    inner.Serialize(block);
    CHalvoTransData::AppendU32(block, 1);  // as a list record's count

    EXPECT_EQ(Word(block, 8), block.Size());
    EXPECT_EQ(Word(block, 12), 100u);
    EXPECT_EQ(Word(block, 16), 101u);
    EXPECT_EQ(Word(block, 20), 12u);

    std::uint32_t count = 0;
    ASSERT_TRUE(CHalvoTransData::PopU32(block, count));
    CUserInformation back;
    ASSERT_TRUE(back.Deserialize(block));  // its fields, then its own header
    EXPECT_EQ(back, inner);
    EXPECT_EQ(Word(block, 8), 12u);
    EXPECT_TRUE(CHalvoTransData::PopHeader(block));
}

TEST(RecordBlock, CreateBufferRefusesWhatCannotBeAllocatedAndLeavesTheBlock)
{
    CTransBlock block;
    CUserInformation().Serialize(block);
    const auto before = BytesOf(block);
    try {
        CHalvoTransData::CreateBuffer(block, std::numeric_limits<std::uint32_t>::max());
        FAIL() << "no exception";
    } catch (const OskelClassLib::OskelExcept& e) {
        EXPECT_STREQ(e.what(), "CHalvoTransData::CreateBuffer() メモリーを確保できない");
    }
    EXPECT_EQ(BytesOf(block), before);

    EXPECT_THROW(CHalvoTransData::AppendBytes(block, nullptr, std::size_t{1} << 33), OskelClassLib::OskelExcept);
    EXPECT_EQ(BytesOf(block), before);

    CHalvoTransData::CreateBuffer(block, 3);
    EXPECT_EQ(block.Size(), 65u);
    EXPECT_EQ(block.Data()[64], 0);
}

TEST(RecordRoundTrip, UserRecordsWithRandomFields)
{
    std::mt19937 rng(20261208);
    for (int i = 0; i < 300; ++i) {
        const CUserInformation user = RandomUser(rng);
        CTransBlock block;
        user.Serialize(block);
        EXPECT_EQ(Word(block, 8), block.Size());
        const auto decoded = CHalvoTransData::CreateFromBlock(block.Data(), block.Size());
        ASSERT_NE(As<CUserInformation>(decoded), nullptr) << "iteration " << i;
        ASSERT_EQ(*As<CUserInformation>(decoded), user) << "iteration " << i;
        EXPECT_EQ(decoded->GetType(), 100u);
        EXPECT_EQ(decoded->GetSubType(), 101u);
    }
}

TEST(RecordRoundTrip, TextRecordsWithRandomFields)
{
    std::mt19937 rng(101);
    std::uniform_int_distribution<std::uint32_t> word;
    for (int i = 0; i < 300; ++i) {
        CHalvoTextRecord record;
        record.SetText(RandomText(rng));
        record.SetValue(word(rng));
        CTransBlock block;
        record.Serialize(block);
        EXPECT_EQ(block.Size(), 12u + record.GetText().size() + 1 + 4 + 4);
        const auto decoded = CHalvoTransData::CreateFromBlock(block);
        ASSERT_NE(As<CHalvoTextRecord>(decoded), nullptr) << "iteration " << i;
        ASSERT_EQ(*As<CHalvoTextRecord>(decoded), record) << "iteration " << i;
        EXPECT_EQ(decoded->GetType(), 101u);
        EXPECT_EQ(decoded->GetSubType(), 100u);
    }
}

// A record class of a later module joins the factory by registering itself.
class CProbeRecord : public CHalvoTransData {
public:
    CProbeRecord() : CHalvoTransData(0x7E57, 100) {}
    void Serialize(CTransBlock& block) const override
    {
        CHalvoTransData::Serialize(block);
        AppendU32(block, m_value);
    }
    bool Deserialize(CTransBlock& block) override
    {
        return PopU32(block, m_value) && CHalvoTransData::Deserialize(block);
    }
    std::uint32_t m_value = 0;
};

TEST(RecordFactory, LaterRecordTypesRegisterThemselves)
{
    CProbeRecord probe;
    probe.m_value = 42;
    CTransBlock block;
    probe.Serialize(block);
    EXPECT_EQ(CHalvoTransData::CreateFromBlock(block.Data(), block.Size()), nullptr);

    EXPECT_TRUE(CHalvoTransData::RegisterType(0x7E57, &MakeTransData<CProbeRecord>));
    EXPECT_FALSE(CHalvoTransData::RegisterType(0x7E57, &MakeTransData<CProbeRecord>));
    EXPECT_FALSE(CHalvoTransData::RegisterType(100, &MakeTransData<CProbeRecord>)) << "built-ins stay";
    const auto decoded = CHalvoTransData::CreateFromBlock(block);
    ASSERT_NE(As<CProbeRecord>(decoded), nullptr);
    EXPECT_EQ(As<CProbeRecord>(decoded)->m_value, 42u);

    for (std::uint32_t type : {1u, 100u, 101u}) EXPECT_TRUE(CHalvoTransData::IsRegisteredType(type));
    // The shared-file records (102 to 104) register with the library that holds them.
    for (std::uint32_t type : {0u, 99u, 105u}) EXPECT_FALSE(CHalvoTransData::IsRegisteredType(type)) << type;
}

}  // namespace
