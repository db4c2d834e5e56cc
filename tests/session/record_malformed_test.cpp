// Record blocks from peers are untrusted: every malformed shape decodes to null without
// reading outside the block (the sanitizer build checks the latter).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "RecordTestSupport.h"
#include "session/HalvoTextRecord.h"
#include "session/HalvoTransData.h"
#include "session/UserInformation.h"

namespace {

using namespace record_test;

CTransBlock UserBlock()
{
    std::mt19937 rng(3);
    CTransBlock block;
    RandomUser(rng).Serialize(block);
    return block;
}

// A heap copy of exactly `size` bytes, so an overrun is caught by the address sanitizer.
std::unique_ptr<CHalvoTransData> DecodeExact(const std::vector<std::uint8_t>& bytes, std::size_t size)
{
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(exact.get(), bytes.data(), size);
    return CHalvoTransData::CreateFromBlock(size ? exact.get() : nullptr, size);
}

TEST(RecordMalformed, UnknownTypesDecodeToNull)
{
    for (std::uint32_t type : {0u, 2u, 99u, 105u, 0xFFFFFFFFu}) {
        CTransBlock block = UserBlock();
        SetWord(block, 0, type);
        EXPECT_EQ(CHalvoTransData::CreateFromBlock(block), nullptr) << type;
    }
}

TEST(RecordMalformed, BlocksShorterThanAHeaderDecodeToNull)
{
    const auto bytes = BytesOf(UserBlock());
    for (std::size_t size = 0; size < 12; ++size) EXPECT_EQ(DecodeExact(bytes, size), nullptr) << size;
    CTransBlock null;
    EXPECT_EQ(CHalvoTransData::CreateFromBlock(null), nullptr);
}

TEST(RecordMalformed, ATotalWordThatLiesDecodesToNull)
{
    const CTransBlock good = UserBlock();
    for (std::uint32_t total : {0u, 1u, 11u, static_cast<std::uint32_t>(good.Size() + 1), 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        CTransBlock block = good;
        SetWord(block, 8, total);
        EXPECT_EQ(CHalvoTransData::CreateFromBlock(block), nullptr) << total;
    }
    // A header alone claiming a type-1 record larger than itself.
    CTransBlock header;
    CHalvoTransData().Serialize(header);
    SetWord(header, 8, 13);
    EXPECT_EQ(CHalvoTransData::CreateFromBlock(header), nullptr);
}

TEST(RecordMalformed, TruncatedBlocksDecodeToNull)
{
    // Every shorter prefix with a total word that matches it: the fields run out.
    const auto bytes = BytesOf(UserBlock());
    for (std::size_t size = 12; size < bytes.size(); ++size) {
        std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        morvika::wire::StoreU32(prefix.data() + 8, static_cast<std::uint32_t>(size));
        // Only prefixes that still end on a whole field could even begin to decode.
        EXPECT_EQ(DecodeExact(prefix, size), nullptr) << size;
    }
}

TEST(RecordMalformed, CountsThatRunPastTheStartDecodeToNull)
{
    CHalvoTextRecord record;
    record.SetText("hello");
    record.SetValue(5);
    CTransBlock good;
    record.Serialize(good);
    const std::size_t countAt = good.Size() - 8;  // the text's count, before the value

    // The real count ends exactly at the header; one more reaches into it.
    const std::uint32_t fits = static_cast<std::uint32_t>(countAt - 12);
    ASSERT_EQ(fits, 6u);
    for (std::uint32_t count : {fits + 1, fits + 12, 0x7FFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFFu}) {
        CTransBlock block = good;
        SetWord(block, countAt, count);
        EXPECT_EQ(CHalvoTransData::CreateFromBlock(block), nullptr) << count;
    }
}

TEST(RecordMalformed, TooFewBytesForAValueDecodeToNull)
{
    // A type-101 header followed by 3, then 7 bytes: the value or the count does not fit.
    for (std::size_t fields : {0u, 1u, 3u, 7u}) {
        CTransBlock block;
        CHalvoTextRecord().CHalvoTransData::Serialize(block);
        CHalvoTransData::CreateBuffer(block, fields);
        SetWord(block, 8, static_cast<std::uint32_t>(block.Size()));
        EXPECT_EQ(CHalvoTransData::CreateFromBlock(block), nullptr) << fields;
    }
}

TEST(RecordMalformed, ATextWithoutItsNulEndsAtItsCount)
{
    CTransBlock block;
    CHalvoTextRecord().CHalvoTransData::Serialize(block);
    CHalvoTransData::AppendBytes(block, "abc", 3);
    CHalvoTransData::AppendU32(block, 9);
    const auto decoded = CHalvoTransData::CreateFromBlock(block);
    const auto* text = dynamic_cast<const CHalvoTextRecord*>(decoded.get());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->GetText(), "abc");
    EXPECT_EQ(text->GetValue(), 9u);
}

TEST(RecordMalformed, BytesBeyondTheTotalAreIgnored)
{
    CTransBlock block = UserBlock();
    const std::uint32_t total = Word(block, 8);
    CHalvoTransData::CreateBuffer(block, 16);
    SetWord(block, 8, total);  // the appended tail is not part of the record
    EXPECT_NE(CHalvoTransData::CreateFromBlock(block), nullptr);
}

TEST(RecordMalformed, AFailedDecodeLeavesTheRecordUnchanged)
{
    std::mt19937 rng(5);
    const CUserInformation before = RandomUser(rng);
    CUserInformation record = before;
    CTransBlock block = UserBlock();
    SetWord(block, 8, 40);  // a total that cuts the fields off
    EXPECT_FALSE(record.Deserialize(block));
    EXPECT_EQ(record, before);
}

}  // namespace
