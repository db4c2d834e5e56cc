#include "voice/DirectSoundDriverData.h"

#include <cstring>

#include "app/Log.h"

using namespace morvika::sound;

namespace {

// The length of text cut to the entry's description field, never inside a UTF-8 character:
// half a character would match no name the user ever picked.
std::size_t StoredLength(const char* text)
{
    std::size_t length = strnlen(text, sizeof SoundDriverEntry::description);
    if (length == sizeof SoundDriverEntry::description && text[length] != '\0') {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    return length;
}

}  // namespace

CDirectSoundDriverData::CDirectSoundDriverData(ISoundBackend& backend, int kind)
    : m_backend(backend),
      m_nKind(kind),
      m_pTable(std::make_unique<SoundDriverEntry[]>(kSoundDriverMax))
{
}

void CDirectSoundDriverData::ClearTable()
{
    for (int i = 0; i < kSoundDriverMax; ++i) m_pTable[i] = SoundDriverEntry{};
    m_nCount = 0;
}

const SoundDriverEntry* CDirectSoundDriverData::GetSoundDriverGUID(const char* name)
{
    ClearTable();
    const bool capture = m_nKind != 0;
    const int rc = m_backend.EnumerateDevices(
        capture ? SoundDirection::Capture : SoundDirection::Playback, [&](const SoundDeviceInfo& device) {
            // The primary entry stands for the default device.
            const SoundDeviceId& id =
                device.hasId ? device.id : (capture ? kDefaultCaptureDevice : kDefaultPlaybackDevice);
            AddDriver(id, device.description.c_str());
            return true;
        });
    if (rc != kSoundOk) {
        MORVIKA_LOG("ERROR CDirectSoundDriverData::GetSoundDriverGUID() デバイスの列挙エラー\n");
        return nullptr;
    }
    return GetDriverGUID(name);
}

int CDirectSoundDriverData::AddDriver(const SoundDeviceId& guid, const char* description)
{
    if (m_nCount >= kSoundDriverMax) {
        MORVIKA_LOG("ERROR CDirectSoundDriverData::AddDriver() デバイスドライバの追加エラー\n");
        return -1;
    }
    SoundDriverEntry& entry = m_pTable[m_nCount];
    entry.guid = guid;
    std::memset(entry.description, 0, sizeof entry.description);
    if (description != nullptr) {
        std::memcpy(entry.description, description, StoredLength(description));
    }
    return m_nCount++;
}

const SoundDriverEntry* CDirectSoundDriverData::GetDriverGUID(const char* name) const
{
    if (name == nullptr) return nullptr;
    // A name as long as the device's full description is cut the same way as the entry.
    const std::size_t length = StoredLength(name);
    for (int i = 0; i < m_nCount; ++i) {
        const SoundDriverEntry& entry = m_pTable[i];
        const std::size_t stored = strnlen(entry.description, sizeof entry.description);
        if (stored == length && std::memcmp(entry.description, name, length) == 0) {
            MORVIKA_LOG("LOG   CDirectSoundDriverData::GetDriverGUID() デバイスドライバの取得 完了\n");
            return &entry;
        }
    }
    MORVIKA_LOG("ERROR CDirectSoundDriverData::GetDriverGUID() デバイスドライバの取得エラー\n");
    return nullptr;
}
