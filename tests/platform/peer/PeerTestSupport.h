#pragma once
// Records the events of one peer service so that tests can wait for them and check their order.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/peer/PeerService.h"

namespace peer::test {

inline const Guid kApp = *GuidFromString("{1B0D3C52-7A41-4E29-9C55-3F0B7E8A6D21}");
inline const Guid kOtherApp = *GuidFromString("{1B0D3C52-7A41-4E29-9C55-3F0B7E8A6D22}");

// Short keep-alive for tests that are not about the real bound.
inline ServiceOptions FastOptions()
{
    ServiceOptions options;
    options.keepAliveInterval = std::chrono::milliseconds(200);
    options.keepAliveTimeout = std::chrono::milliseconds(1500);
    if (std::getenv("PEER_TEST_LOG")) {
        options.log = [](const std::string& line) { std::fprintf(stderr, "peer: %s\n", line.c_str()); };
    }
    return options;
}

struct Event {
    std::uint32_t id = 0;
    PlayerId player = 0;  // created, destroyed, peer info; sender of received data
    bool local = false;
    Result result = 0;
    std::uint32_t reason = 0;
    Bytes data;                             // received data, connect reply
    std::uint32_t received = 0, total = 0;  // receive progress
};

class CRecorder {
public:
    using Decision = std::function<Result(const Bytes& connectData, std::uint32_t& reply)>;

    // The connect decision; by default accept with `acceptReply` as the 4-byte reply.
    void SetDecision(Decision decide)
    {
        std::lock_guard lock(m_mutex);
        m_decide = std::move(decide);
    }
    std::atomic<std::uint32_t> acceptReply{0};
    // When set, a joiner must prove this password first (else refused with reply 3), as the
    // application does.
    void RequirePassword(std::string password)
    {
        std::lock_guard lock(m_mutex);
        m_password = std::move(password);
        m_checkPassword = true;
    }
    std::atomic<int> passwordChecks{0};

    static Result Handler(void* context, std::uint32_t id, void* data)
    {
        return static_cast<CRecorder*>(context)->On(id, data);
    }

    std::vector<Event> Events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::vector<Event> Events(std::uint32_t id) const
    {
        std::vector<Event> out;
        for (const Event& e : Events()) {
            if (e.id == id) out.push_back(e);
        }
        return out;
    }
    std::size_t Count(std::uint32_t id) const { return Events(id).size(); }
    bool HasDestroyed(PlayerId player) const
    {
        for (const Event& e : Events(DPN_MSGID_DESTROY_PLAYER)) {
            if (e.player == player) return true;
        }
        return false;
    }
    int Requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    int OutstandingReplies() const
    {
        std::lock_guard lock(m_mutex);
        return m_outstandingReplies;
    }

    // Waits until `pred` holds, re-checked after every event and every 50 ms.
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        std::unique_lock lock(m_mutex);
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            lock.unlock();
            if (pred()) return true;
            lock.lock();
            if (std::chrono::steady_clock::now() >= end) return false;
            m_changed.wait_for(lock, std::chrono::milliseconds(50));
        }
    }
    bool WaitForCount(std::uint32_t id, std::size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        return WaitFor([&] { return Count(id) >= n; }, timeout);
    }

private:
    Result On(std::uint32_t id, void* data)
    {
        Event e;
        e.id = id;
        Result answer = DPN_OK;
        switch (id) {
        case DPN_MSGID_CONNECT_COMPLETE: {
            auto* ev = static_cast<ConnectCompleteEvent*>(data);
            e.result = ev->result;
            e.player = ev->localPlayer;
            const auto* b = static_cast<const std::uint8_t*>(ev->replyData);
            if (b) e.data.assign(b, b + ev->replySize);
            break;
        }
        case DPN_MSGID_CREATE_PLAYER: {
            auto* ev = static_cast<CreatePlayerEvent*>(data);
            e.player = ev->player;
            e.local = ev->local;
            break;
        }
        case DPN_MSGID_DESTROY_PLAYER: {
            auto* ev = static_cast<DestroyPlayerEvent*>(data);
            e.player = ev->player;
            e.reason = ev->reason;
            break;
        }
        case DPN_MSGID_INDICATE_CONNECT: {
            auto* ev = static_cast<IndicateConnectEvent*>(data);
            const auto* b = static_cast<const std::uint8_t*>(ev->connectData);
            e.data.assign(b, b + ev->connectDataSize);
            {
                std::lock_guard lock(m_mutex);
                ++m_requests;
            }
            m_changed.notify_all();
            std::uint32_t reply = acceptReply;
            Decision decide;
            std::optional<std::string> password;
            {
                std::lock_guard lock(m_mutex);
                decide = m_decide;
                if (m_checkPassword) password = m_password;
            }
            if (password) ++passwordChecks;
            if (password && !(ev->passwordMatches && ev->passwordMatches(*password))) {
                reply = 3;
                answer = DPNERR_HOSTREJECTEDCONNECTION;
            } else {
                answer = decide ? decide(e.data, reply) : DPN_OK;
            }
            auto* buffer = new std::uint32_t(reply);
            ev->replyData = buffer;
            ev->replySize = sizeof *buffer;
            ev->replyContext = buffer;
            std::lock_guard lock(m_mutex);
            ++m_outstandingReplies;
            e.result = answer;
            break;
        }
        case DPN_MSGID_RETURN_BUFFER: {
            auto* ev = static_cast<ReturnBufferEvent*>(data);
            if (ev->buffer == ev->userContext) delete static_cast<std::uint32_t*>(ev->buffer);
            std::lock_guard lock(m_mutex);
            --m_outstandingReplies;
            break;
        }
        case DPN_MSGID_RECEIVE: {
            auto* ev = static_cast<ReceiveEvent*>(data);
            e.player = ev->sender;
            const auto* b = static_cast<const std::uint8_t*>(ev->data);
            e.data.assign(b, b + ev->size);
            break;
        }
        case DPN_MSGID_RECEIVE_PROGRESS: {
            auto* ev = static_cast<ReceiveProgressEvent*>(data);
            e.player = ev->sender;
            e.received = ev->received;
            e.total = ev->total;
            break;
        }
        case DPN_MSGID_PEER_INFO: e.player = static_cast<PeerInfoEvent*>(data)->player; break;
        case DPN_MSGID_TERMINATE_SESSION: e.result = static_cast<TerminateSessionEvent*>(data)->result; break;
        default: break;
        }
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(std::move(e));
        }
        m_changed.notify_all();
        return answer;
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Decision m_decide;
    bool m_checkPassword = false;
    std::string m_password;
    std::vector<Event> m_events;
    int m_requests = 0;
    int m_outstandingReplies = 0;
};

inline std::uint32_t ReplyValue(const Event& e)
{
    std::uint32_t v = 0;
    if (e.data.size() == 4) std::memcpy(&v, e.data.data(), 4);
    return v;
}

// A service with its recorder; hosts or joins in one call.
struct CNode {
    CRecorder recorder;
    CPeerService service;

    explicit CNode(ServiceOptions options = FastOptions())
    {
        service.Initialize(&recorder, &CRecorder::Handler, std::move(options));
    }
    std::uint16_t Host()
    {
        if (service.Host({kApp, "VoiceSession"}, 0) != DPN_OK) return 0;
        recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 1);
        recorder.acceptReply = service.LocalPlayer();
        return service.BoundPort();
    }
    Result Join(std::uint16_t port, const std::string& name = {}, const Bytes& connectData = {1, 2, 3},
                const Guid& app = kApp, const std::string& password = {})
    {
        if (!name.empty()) {
            const Bytes info(name.begin(), name.end());
            service.SetPeerInfo(name, info.data(), static_cast<std::uint32_t>(info.size()));
        }
        return service.Connect(app, "127.0.0.1", port, connectData.data(),
                               static_cast<std::uint32_t>(connectData.size()), password);
    }
    // Joins and waits for the outcome; returns the connect-complete event.
    Event JoinAndWait(std::uint16_t port, const std::string& name = {}, const Guid& app = kApp)
    {
        if (Join(port, name, {1, 2, 3}, app) != DPNSUCCESS_PENDING) return {};
        recorder.WaitForCount(DPN_MSGID_CONNECT_COMPLETE, 1);
        auto done = recorder.Events(DPN_MSGID_CONNECT_COMPLETE);
        return done.empty() ? Event{} : done.front();
    }
    bool Received(PlayerId from, const Bytes& data) const
    {
        for (const Event& e : recorder.Events(DPN_MSGID_RECEIVE)) {
            if (e.player == from && e.data == data) return true;
        }
        return false;
    }
};

inline Result Send(CNode& node, PlayerId to, const Bytes& data, std::uint32_t flags,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(0))
{
    return node.service.SendTo(to, data.data(), static_cast<std::uint32_t>(data.size()), timeout,
                               flags | DPNSEND_NOCOMPLETE);
}

}  // namespace peer::test
