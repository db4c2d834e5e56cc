#pragma once
// Helpers shared by the record tests.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "session/ByteOrder.h"
#include "session/TransBlock.h"
#include "session/UserInformation.h"

namespace record_test {

inline std::uint32_t Word(const CTransBlock& block, std::size_t offset)
{
    return morvika::wire::LoadU32(block.Data() + offset);
}

inline void SetWord(CTransBlock& block, std::size_t offset, std::uint32_t value)
{
    morvika::wire::StoreU32(block.Data() + offset, value);
}

inline std::vector<std::uint8_t> BytesOf(const CTransBlock& block)
{
    return {block.Bytes().begin(), block.Bytes().end()};
}

// Texts of random length mixing ASCII and multi-byte UTF-8, never containing NUL.
inline std::string RandomText(std::mt19937& rng)
{
    static const std::vector<std::string> pieces = {"a", "Z", "0", " ", ".", "192", "ユーザー", "名前", "é", "\x7f"};
    std::uniform_int_distribution<int> count(0, 12);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::string text;
    for (int i = count(rng); i > 0; --i) text += pieces[pick(rng)];
    return text;
}

inline CUserInformation RandomUser(std::mt19937& rng)
{
    std::uniform_int_distribution<std::uint32_t> word;
    CUserInformation user;
    user.SetGroupId(word(rng));
    user.SetUserId(word(rng));
    user.SetUserName(RandomText(rng));
    user.SetActive(word(rng) % 3);
    user.SetVersion(word(rng));
    user.SetAddress(RandomText(rng));
    user.SetReservedText(RandomText(rng));
    user.SetPassword(RandomText(rng));
    user.SetMessage(RandomText(rng));
    user.SetReservedValue(word(rng));
    user.SetReservedText2(RandomText(rng));
    return user;
}

}  // namespace record_test
