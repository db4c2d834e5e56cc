#pragma once
// A client of the peer protocol of its own, joining a real instance like any instance does,
// that can say whatever a hostile member might: in its own name or in another's.

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/peer/PeerService.h"
#include "session/DirectPlayPeerWraper.h"
#include "session/PeerMessage.h"
#include "share/SharesDataList.h"
#include "tests/support/WaitFor.h"

namespace e2e {

class RawPeer {
public:
    explicit RawPeer(std::string name = "Mallory") : m_name(std::move(name)) {}
    ~RawPeer() { m_service.Close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool Join(std::uint16_t port, const std::string& host = "127.0.0.1")
    {
        m_service.Initialize(this, [](void* self, std::uint32_t id, void* event) {
            return static_cast<RawPeer*>(self)->OnEvent(id, event);
        });
        CUserInformation me;
        me.SetUserName(m_name);
        CTransBlock block;
        me.Serialize(block);
        m_service.SetPeerInfo(m_name, block.Data(), static_cast<std::uint32_t>(block.Size()));
        const auto guid = peer::GuidFromString(CDirectPlayPeerWraper::kApplicationId);
        m_service.Connect(*guid, host, port, block.Data(), static_cast<std::uint32_t>(block.Size()));
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kEventTimeout, [&] { return m_connected; }) && m_host != 0;
    }

    // A message of this kind with this record, addressed to `to`, stamped with our ids.
    void Send(peer::PlayerId to, std::uint32_t kind, const CHalvoTransData& record)
    {
        CTransBlock block;
        record.Serialize(block);
        SendAs(to, kind, m_service.LocalPlayer(), block.Data(), block.Size());
    }

    // A message whose header names `sender` (of the host's session) as the one who sent it.
    void SendAs(peer::PlayerId to, std::uint32_t kind, std::uint32_t sender, const void* payload, std::size_t size,
                bool high = false)
    {
        CPeerMessage message;
        message.Set(kind, m_host, sender, payload, static_cast<std::int64_t>(size));
        m_service.SendTo(to, message.Block(), static_cast<std::uint32_t>(message.BlockSize()), {},
                         high ? peer::DPNSEND_PRIORITY_HIGH : peer::DPNSEND_PRIORITY_LOW);
    }

    void SendText(peer::PlayerId to, const std::string& text)
    {
        SendAs(to, KIND_CHAT_TEXT, m_service.LocalPlayer(), text.c_str(), text.size() + 1);
    }

    std::optional<CPeerMessage> WaitForKind(std::uint32_t kind)
    {
        std::unique_lock lock(m_mutex);
        std::optional<CPeerMessage> found;
        m_changed.wait_for(lock, kEventTimeout, [&] {
            for (auto it = m_received.begin(); it != m_received.end(); ++it) {
                if (it->Kind() == kind) {
                    found = *it;
                    m_received.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // Answers every file request with this file object.
    void ServeWith(CSharesFileObject file)
    {
        std::lock_guard lock(m_mutex);
        m_serve = std::move(file);
    }

    peer::CPeerService& Service() { return m_service; }
    peer::PlayerId Me() const { return m_service.LocalPlayer(); }
    peer::PlayerId Host() const { return m_host; }
    peer::PlayerId Other() const
    {
        for (const peer::PlayerId id : m_service.Players()) {
            if (id != m_host && id != m_service.LocalPlayer()) return id;
        }
        return 0;
    }
    // The id of the member called `name` (0 when there is none).
    peer::PlayerId IdOf(const std::string& name) const
    {
        for (const peer::PlayerId id : m_service.Players()) {
            std::string n;
            peer::Bytes data;
            if (m_service.GetPeerInfo(id, n, data) == peer::DPN_OK && n == name) return id;
        }
        return 0;
    }

private:
    peer::Result OnEvent(std::uint32_t id, void* event)
    {
        std::unique_lock lock(m_mutex);
        if (id == peer::DPN_MSGID_CONNECT_COMPLETE) {
            const auto& done = *static_cast<peer::ConnectCompleteEvent*>(event);
            if (done.result == peer::DPN_OK && done.replySize == 4) std::memcpy(&m_host, done.replyData, 4);
            m_connected = true;
        } else if (id == peer::DPN_MSGID_RECEIVE) {
            const auto& received = *static_cast<peer::ReceiveEvent*>(event);
            CPeerMessage message;
            message.FromReceived(received.data, received.size);
            if (message.Kind() == KIND_SHARES_REQUEST && m_serve) {
                const CSharesFileObject file = *m_serve;
                lock.unlock();
                Send(received.sender, KIND_SHARES_DATA, file);
                lock.lock();
            }
            // Only what a test waits for is kept: a flood of voice would otherwise pile up.
            if (message.Kind() != KIND_VOICE_DATA && message.Kind() != KIND_PICTURE_FRAME && m_received.size() < 1000) {
                m_received.push_back(message);
            }
        }
        lock.unlock();
        m_changed.notify_all();
        return peer::DPN_OK;
    }

    std::string m_name;
    peer::CPeerService m_service;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_connected = false;
    peer::PlayerId m_host = 0;
    std::vector<CPeerMessage> m_received;
    std::optional<CSharesFileObject> m_serve;
};

}  // namespace e2e
