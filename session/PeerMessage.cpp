#include "session/PeerMessage.h"

#include <cstring>
#include <new>

#include "session/ByteOrder.h"

using morvika::wire::LoadU32;
using morvika::wire::StoreU32;

namespace {

constexpr std::size_t kKindOffset = 4;
constexpr std::size_t kUserIdOffset = 8;
constexpr std::size_t kGroupIdOffset = 12;
constexpr std::size_t kLengthOffset = 16;

}  // namespace

bool IsKnownKind(std::uint32_t kind) noexcept
{
    switch (kind) {
    case KIND_PICTURE_FRAME:
    case KIND_CHAT_TEXT:
    case KIND_SHARES_LIST:
    case KIND_SHARES_REQUEST:
    case KIND_SHARES_DATA:
    case KIND_VOICE_DATA:
    case KIND_VOICE_START:
    case KIND_WINDOW_SHARE_ON:
    case KIND_WINDOW_SHARE_OFF: return true;
    default: return false;
    }
}

CPeerMessage::CPeerMessage(const CPeerMessage& other)
{
    CopyFrom(other);
}

CPeerMessage& CPeerMessage::operator=(const CPeerMessage& other)
{
    if (this != &other) CopyFrom(other);
    return *this;
}

CPeerMessage::CPeerMessage(CPeerMessage&& other) noexcept
    : m_pBlock(std::move(other.m_pBlock)),
      m_dwLength(other.m_dwLength),
      m_dwCapacity(other.m_dwCapacity)
{
    other.m_dwLength = 0;
    other.m_dwCapacity = 0;
}

CPeerMessage& CPeerMessage::operator=(CPeerMessage&& other) noexcept
{
    if (this != &other) {
        m_pBlock = std::move(other.m_pBlock);
        m_dwLength = other.m_dwLength;
        m_dwCapacity = other.m_dwCapacity;
        other.m_dwLength = 0;
        other.m_dwCapacity = 0;
    }
    return *this;
}

void CPeerMessage::Set(std::uint32_t kind, std::uint32_t groupId, std::uint32_t userId, const void* payload,
                       std::int64_t length)
{
    Clear();
    if (length <= 0 || length >= kLengthLimit) return;
    const auto payloadLength = static_cast<std::size_t>(length);
    // One spare zero byte after the payload keeps text payloads terminated.
    // Only what the payload does not cover is zeroed: for a large payload a second pass
    // over the whole block would cost as much as the copy.
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kHeaderSize + payloadLength + 1]);
    if (!block) return;
    m_pBlock = std::move(block);
    m_dwCapacity = static_cast<std::uint32_t>(payloadLength);
    Fill(kind, groupId, userId, payload, payloadLength);
}

void CPeerMessage::Refill(std::uint32_t kind, std::uint32_t groupId, std::uint32_t userId, const void* payload,
                          std::int64_t length)
{
    if (!m_pBlock || length <= 0 || length > m_dwCapacity) {
        Set(kind, groupId, userId, payload, length);
        return;
    }
    Fill(kind, groupId, userId, payload, static_cast<std::size_t>(length));
}

void CPeerMessage::Fill(std::uint32_t kind, std::uint32_t groupId, std::uint32_t userId, const void* payload,
                        std::size_t payloadLength)
{
    std::uint8_t* block = m_pBlock.get();
    std::memset(block, 0, kHeaderSize);
    if (!payload) std::memset(block + kHeaderSize, 0, payloadLength);
    block[kHeaderSize + payloadLength] = 0;
    StoreU32(block + kKindOffset, kind);
    StoreU32(block + kUserIdOffset, userId);
    StoreU32(block + kGroupIdOffset, groupId);
    StoreU32(block + kLengthOffset, static_cast<std::uint32_t>(payloadLength));
    if (payload) std::memcpy(block + kHeaderSize, payload, payloadLength);
    m_dwLength = static_cast<std::uint32_t>(payloadLength);
}

void CPeerMessage::CopyFrom(const CPeerMessage& other)
{
    if (this == &other) return;
    if (other.IsEmpty()) {
        Clear();
        return;
    }
    Set(other.Kind(), other.GroupId(), other.UserId(), other.Payload(), other.PayloadLength());
}

void CPeerMessage::FromReceived(const void* data, std::size_t size)
{
    Clear();
    if (!data || size < kHeaderSize) return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::uint32_t length = LoadU32(bytes + kLengthOffset);
    if (length >= kLengthLimit || length > size - kHeaderSize) return;
    Set(LoadU32(bytes + kKindOffset), LoadU32(bytes + kGroupIdOffset), LoadU32(bytes + kUserIdOffset),
        bytes + kHeaderSize, length);
}

void CPeerMessage::Clear() noexcept
{
    m_pBlock.reset();
    m_dwLength = 0;
    m_dwCapacity = 0;
}

std::uint32_t CPeerMessage::Kind() const noexcept
{
    return m_pBlock ? LoadU32(m_pBlock.get() + kKindOffset) : 0;
}

std::uint32_t CPeerMessage::UserId() const noexcept
{
    return m_pBlock ? LoadU32(m_pBlock.get() + kUserIdOffset) : 0;
}

std::uint32_t CPeerMessage::GroupId() const noexcept
{
    return m_pBlock ? LoadU32(m_pBlock.get() + kGroupIdOffset) : 0;
}

const std::uint8_t* CPeerMessage::Payload() const noexcept
{
    return m_pBlock ? m_pBlock.get() + kHeaderSize : nullptr;
}

std::size_t CPeerMessage::BlockSize() const noexcept
{
    return m_pBlock ? kHeaderSize + m_dwLength : 0;
}

void CPeerMessage::SetUserId(std::uint32_t userId) noexcept
{
    if (m_pBlock) StoreU32(m_pBlock.get() + kUserIdOffset, userId);
}

void CPeerMessage::SetGroupId(std::uint32_t groupId) noexcept
{
    if (m_pBlock) StoreU32(m_pBlock.get() + kGroupIdOffset, groupId);
}
