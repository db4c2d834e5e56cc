#pragma once
// The sound devices of one kind (playback or capture), and the turn of a device name from the
// settings into the identifier the device is created with.

#include <cstdint>
#include <memory>

#include "platform/sound/SoundService.h"

struct SoundDriverEntry {
    morvika::sound::SoundDeviceId guid{};
    // The description, a longer one cut to its first 64 bytes or fewer so that no character
    // is split; one that fills all 64 bytes has no terminating zero here.
    char description[64]{};
};

inline constexpr int kSoundDriverMax = 20;

class CDirectSoundDriverData {
public:
    // kind 0 lists playback devices, any other value capture devices.
    CDirectSoundDriverData(morvika::sound::ISoundBackend& backend, int kind);
    virtual ~CDirectSoundDriverData() = default;

    // Lists the devices anew and returns the entry of that description; null selects the
    // default device (and is returned when the list cannot be read).
    virtual const SoundDriverEntry* GetSoundDriverGUID(const char* name);
    virtual int GetKind() const { return m_nKind; }
    virtual void ClearTable();
    // The new entry's index, or -1 when the table is full.
    virtual int AddDriver(const morvika::sound::SoundDeviceId& guid, const char* description);
    virtual const SoundDriverEntry* GetDriverGUID(const char* name) const;
    virtual const SoundDriverEntry* GetTable() const { return m_pTable.get(); }
    int Count() const { return m_nCount; }

private:
    morvika::sound::ISoundBackend& m_backend;
    int m_nKind;
    std::unique_ptr<SoundDriverEntry[]> m_pTable;
    int m_nCount = 0;
};
