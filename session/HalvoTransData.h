#pragma once
// Base of the serializable records. A record block starts with three 32-bit little-endian
// words {type, subtype, total}; fields follow in the order the class appends them:
//   32-bit value: 4 bytes;  byte string: the bytes, then their 32-bit count
//   (a text is written with its terminating NUL, an absent text as the single NUL).
// Decoding reads from the end of the block (at `total`) towards its start, each read
// lowering `total`. A record nested in another carries its own header with 12 as total.
//
// Blocks from outside are untrusted: every read is checked against the block's real size,
// and no field may reach into the outermost header.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "session/TransBlock.h"

class CHalvoTransData {
public:
    static constexpr std::uint32_t kHeaderSize = 12;
    static constexpr std::uint32_t TYPE_BASE = 1;
    static constexpr std::uint32_t TYPE_USER_INFORMATION = 100;
    static constexpr std::uint32_t TYPE_TEXT = 101;
    static constexpr std::uint32_t SUBTYPE_DEFAULT = 100;

    CHalvoTransData() = default;
    CHalvoTransData(std::uint32_t type, std::uint32_t subType) : m_dwType(type), m_dwSubType(subType) {}
    CHalvoTransData(const CHalvoTransData&) = default;
    CHalvoTransData& operator=(const CHalvoTransData&) = default;
    virtual ~CHalvoTransData() = default;

    bool operator==(const CHalvoTransData&) const = default;

    // Appends this record to the block (a null block starts a new one). The base appends
    // the header {type, subtype, 12}; derived classes call it first, then append their fields.
    virtual void Serialize(CTransBlock& block) const;
    // Reads this record's fields back from the end of the block; derived classes read their
    // own fields in reverse order, then call the base. False when the block does not hold
    // them; the object is then left as it was.
    virtual bool Deserialize(CTransBlock& block);

    // Creates the record named by the block's type word and lets it decode the block (in
    // place). Null for an unknown type, a block shorter than a header, a total word outside
    // [12, size] or a block that fails to decode.
    static std::unique_ptr<CHalvoTransData> CreateFromBlock(CTransBlock& block);
    static std::unique_ptr<CHalvoTransData> CreateFromBlock(const void* data, std::size_t size);

    // The factory: record types map to creators. Types 1, 100 and 101 are built in; other
    // record classes register themselves (see CHalvoTransDataRegistration). False when the
    // type is already taken.
    using Factory = std::unique_ptr<CHalvoTransData> (*)();
    static bool RegisterType(std::uint32_t type, Factory factory);
    static bool IsRegisteredType(std::uint32_t type);

    // Lowers the total word by one header; false when less than a header is left.
    static bool PopHeader(CTransBlock& block);
    static void FreeBlock(CTransBlock& block) noexcept { block.Reset(); }
    // The total word; 0 for a null block, the size for a block shorter than a header.
    static std::uint32_t BlockLength(const CTransBlock& block) noexcept;

    std::uint32_t GetType() const noexcept { return m_dwType; }
    std::uint32_t GetSubType() const noexcept { return m_dwSubType; }
    void SetType(std::uint32_t type) noexcept { m_dwType = type; }
    void SetSubType(std::uint32_t subType) noexcept { m_dwSubType = subType; }

    // Field encoding, for the record classes.
    static void AppendU32(CTransBlock& block, std::uint32_t value);
    static void AppendBytes(CTransBlock& block, const void* bytes, std::size_t count);
    static void AppendText(CTransBlock& block, std::string_view text);  // up to a NUL, then NUL
    static bool PopU32(CTransBlock& block, std::uint32_t& value);
    // On success `bytes` points into the block (valid until the block changes).
    static bool PopBytes(CTransBlock& block, const std::uint8_t*& bytes, std::uint32_t& count);
    static bool PopText(CTransBlock& block, std::string& text);

    // Grows the block to its length + extra bytes, the new bytes zero. Throws OskelExcept
    // when that cannot be allocated (or exceeds what the total word can hold); the block is
    // then unchanged.
    static void CreateBuffer(CTransBlock& block, std::size_t extra);
    // Makes room for `extra` more bytes at once, so that a record that appends a large block
    // followed by small fields is not moved again. Only a hint: a failure leaves the block
    // as it is and the appends report it.
    static void ReserveBuffer(CTransBlock& block, std::size_t extra) noexcept;

private:
    std::uint32_t m_dwType = TYPE_BASE;
    std::uint32_t m_dwSubType = SUBTYPE_DEFAULT;
};

template <class Record>
std::unique_ptr<CHalvoTransData> MakeTransData()
{
    return std::make_unique<Record>();
}

// Registers a record class with the factory at static initialisation. Place it in the same
// source file as the class's own functions, so linking the class brings it along:
//   static const CHalvoTransDataRegistration reg{102, &MakeTransData<CSharesData>};
struct CHalvoTransDataRegistration {
    CHalvoTransDataRegistration(std::uint32_t type, CHalvoTransData::Factory factory);
};
