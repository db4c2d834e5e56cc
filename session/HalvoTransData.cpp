#include "session/HalvoTransData.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>

#include "app/OskelExcept.h"
#include "session/ByteOrder.h"
#include "session/HalvoTextRecord.h"
#include "session/RecordText.h"
#include "session/UserInformation.h"

using morvika::wire::LoadU32;
using morvika::wire::StoreU32;

namespace {

constexpr std::size_t kTypeOffset = 0;
constexpr std::size_t kTotalOffset = 8;

struct FactoryRegistry {
    FactoryRegistry()
    {
        creators.emplace(CHalvoTransData::TYPE_BASE, &MakeTransData<CHalvoTransData>);
        creators.emplace(CHalvoTransData::TYPE_USER_INFORMATION, &MakeTransData<CUserInformation>);
        creators.emplace(CHalvoTransData::TYPE_TEXT, &MakeTransData<CHalvoTextRecord>);
    }

    std::mutex lock;
    std::unordered_map<std::uint32_t, CHalvoTransData::Factory> creators;
};

FactoryRegistry& Registry()
{
    static FactoryRegistry registry;
    return registry;
}

// The total word of a block that has a header, limited to the bytes really there.
// Decoding checks the word against the size before trusting it; this keeps appends to a
// partly decoded block safe as well.
std::size_t UsedLength(const CTransBlock& block)
{
    const std::span<const std::uint8_t> bytes = block.Bytes();
    if (bytes.size() < CHalvoTransData::kHeaderSize) return bytes.size();
    const std::size_t total = LoadU32(bytes.data() + kTotalOffset);
    return total < bytes.size() ? total : bytes.size();
}

// The readable end of the fields: the total word, when it is a sane one.
bool ReadableTotal(const CTransBlock& block, std::uint32_t& total)
{
    if (block.Size() < CHalvoTransData::kHeaderSize) return false;
    total = LoadU32(block.Data() + kTotalOffset);
    return total >= CHalvoTransData::kHeaderSize && total <= block.Size();
}

void StoreTotal(CTransBlock& block, std::uint32_t total)
{
    StoreU32(block.Data() + kTotalOffset, total);
}

}  // namespace

CHalvoTransDataRegistration::CHalvoTransDataRegistration(std::uint32_t type, CHalvoTransData::Factory factory)
{
    CHalvoTransData::RegisterType(type, factory);
}

bool CHalvoTransData::RegisterType(std::uint32_t type, Factory factory)
{
    if (!factory) return false;
    FactoryRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    return registry.creators.emplace(type, factory).second;
}

bool CHalvoTransData::IsRegisteredType(std::uint32_t type)
{
    FactoryRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    return registry.creators.contains(type);
}

void CHalvoTransData::Serialize(CTransBlock& block) const
{
    AppendU32(block, m_dwType);
    AppendU32(block, m_dwSubType);
    AppendU32(block, kHeaderSize);
}

bool CHalvoTransData::Deserialize(CTransBlock& block)
{
    return PopHeader(block);
}

std::unique_ptr<CHalvoTransData> CHalvoTransData::CreateFromBlock(CTransBlock& block)
{
    std::uint32_t total = 0;
    if (!ReadableTotal(block, total)) return nullptr;
    Factory factory = nullptr;
    {
        FactoryRegistry& registry = Registry();
        std::lock_guard guard(registry.lock);
        const auto found = registry.creators.find(LoadU32(block.Data() + kTypeOffset));
        if (found == registry.creators.end()) return nullptr;
        factory = found->second;
    }
    std::unique_ptr<CHalvoTransData> record = factory();
    if (!record || !record->Deserialize(block)) return nullptr;
    return record;
}

std::unique_ptr<CHalvoTransData> CHalvoTransData::CreateFromBlock(const void* data, std::size_t size)
{
    CTransBlock block(data, size);
    return CreateFromBlock(block);
}

bool CHalvoTransData::PopHeader(CTransBlock& block)
{
    std::uint32_t total = 0;
    if (!ReadableTotal(block, total)) return false;
    StoreTotal(block, total - kHeaderSize);
    return true;
}

std::uint32_t CHalvoTransData::BlockLength(const CTransBlock& block) noexcept
{
    if (block.Size() < kHeaderSize) return static_cast<std::uint32_t>(block.Size());
    return LoadU32(block.Data() + kTotalOffset);
}

void CHalvoTransData::CreateBuffer(CTransBlock& block, std::size_t extra)
{
    const std::size_t length = UsedLength(block);
    if (extra > std::numeric_limits<std::uint32_t>::max() - length)
        throw OskelClassLib::OskelExcept("CHalvoTransData::CreateBuffer() メモリーを確保できない",
                                         static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(extra));
    const std::size_t newLength = length + extra;
    std::vector<std::uint8_t>& bytes = block.m_bytes;
    try {
        if (length == bytes.size() && newLength <= bytes.capacity()) {
            bytes.resize(newLength);  // within capacity: cannot fail
        } else {
            // Geometric growth keeps a record built field by field linear in its size.
            std::vector<std::uint8_t> grown;
            grown.reserve(std::max(newLength, bytes.capacity() * 2));
            grown.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
            grown.resize(newLength);
            bytes.swap(grown);
        }
    } catch (const std::bad_alloc&) {
        throw OskelClassLib::OskelExcept("CHalvoTransData::CreateBuffer() メモリーを確保できない",
                                         static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(extra));
    }
}

void CHalvoTransData::ReserveBuffer(CTransBlock& block, std::size_t extra) noexcept
{
    std::vector<std::uint8_t>& bytes = block.m_bytes;
    const std::size_t length = UsedLength(block);
    if (length != bytes.size() || extra > std::numeric_limits<std::uint32_t>::max() - length) return;
    try {
        bytes.reserve(length + extra);
    } catch (const std::bad_alloc&) {
    }
}

void CHalvoTransData::AppendBytes(CTransBlock& block, const void* bytes, std::size_t count)
{
    if (count > std::numeric_limits<std::uint32_t>::max())
        throw OskelClassLib::OskelExcept("CHalvoTransData::CreateBuffer() メモリーを確保できない", BlockLength(block),
                                         static_cast<std::uint32_t>(count));
    const std::size_t at = UsedLength(block);
    CreateBuffer(block, count + 4);
    if (count > 0 && bytes) std::memcpy(block.Data() + at, bytes, count);
    StoreU32(block.Data() + at + count, static_cast<std::uint32_t>(count));
    if (block.Size() >= kHeaderSize) StoreTotal(block, static_cast<std::uint32_t>(block.Size()));
}

void CHalvoTransData::AppendU32(CTransBlock& block, std::uint32_t value)
{
    const std::size_t at = UsedLength(block);
    CreateBuffer(block, 4);
    StoreU32(block.Data() + at, value);
    if (block.Size() >= kHeaderSize) StoreTotal(block, static_cast<std::uint32_t>(block.Size()));
}

void CHalvoTransData::AppendText(CTransBlock& block, std::string_view text)
{
    // Written as a C string: up to the first NUL, then the NUL.
    const std::string terminated = morvika::record::WireText(text);
    AppendBytes(block, terminated.c_str(), terminated.size() + 1);
}

bool CHalvoTransData::PopU32(CTransBlock& block, std::uint32_t& value)
{
    std::uint32_t total = 0;
    if (!ReadableTotal(block, total) || total - kHeaderSize < 4) return false;
    total -= 4;
    value = LoadU32(block.Data() + total);
    StoreTotal(block, total);
    return true;
}

bool CHalvoTransData::PopBytes(CTransBlock& block, const std::uint8_t*& bytes, std::uint32_t& count)
{
    std::uint32_t total = 0;
    if (!ReadableTotal(block, total) || total - kHeaderSize < 4) return false;
    const std::uint32_t n = LoadU32(block.Data() + total - 4);
    // Neither the count nor the bytes may reach into the outermost header.
    if (n > total - kHeaderSize - 4) return false;
    total -= 4 + n;
    bytes = block.Data() + total;
    count = n;
    StoreTotal(block, total);
    return true;
}

bool CHalvoTransData::PopText(CTransBlock& block, std::string& text)
{
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    if (!PopBytes(block, bytes, count)) return false;
    // A text sent without its NUL ends where its bytes end.
    const auto* chars = reinterpret_cast<const char*>(bytes);
    text.assign(chars, strnlen(chars, count));
    return true;
}
