#pragma once
// The data handed to the event handler with each event identifier. Pointers inside an
// event are valid only during the handler call.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/peer/PeerCodes.h"

namespace peer {

// DPN_MSGID_CONNECT_COMPLETE: exactly once per Connect.
struct ConnectCompleteEvent {
    Result result = DPN_OK;
    PlayerId localPlayer = 0;         // our id on success, else 0
    const void* replyData = nullptr;  // the host's reply (a refusal reason or its own id)
    std::uint32_t replySize = 0;
};

// DPN_MSGID_CREATE_PLAYER: every member, the local player included.
struct CreatePlayerEvent {
    PlayerId player = 0;
    bool local = false;
};

// DPN_MSGID_DESTROY_PLAYER.
struct DestroyPlayerEvent {
    PlayerId player = 0;
    std::uint32_t reason = DPNDESTROYPLAYERREASON_NORMAL;
};

// DPN_MSGID_INDICATE_CONNECT, host side, on a thread of its own so that the answer may take
// as long as the user needs. The handler returns DPN_OK to accept or a failure code to
// refuse, and may set a reply, which goes to the joiner either way. The reply buffer stays
// the handler's: it comes back with DPN_MSGID_RETURN_BUFFER once it has been copied.
struct IndicateConnectEvent {
    const void* connectData = nullptr;
    std::uint32_t connectDataSize = 0;
    const char* address = "";      // the joiner's address as text
    const char* fingerprint = "";  // of the joiner's key
    // Whether the joiner proved this password. Each wrong answer counts against the joiner's
    // address (see ServiceOptions::attemptRules).
    std::function<bool(std::string_view password)> passwordMatches;
    const void* replyData = nullptr;  // out
    std::uint32_t replySize = 0;      // out
    void* replyContext = nullptr;     // out, handed back with the buffer
};

// DPN_MSGID_RETURN_BUFFER: a reply buffer the service no longer needs.
struct ReturnBufferEvent {
    Result result = DPN_OK;
    void* buffer = nullptr;
    void* userContext = nullptr;
};

// DPN_MSGID_RECEIVE. The data is copied by the service; the handler must not keep it.
struct ReceiveEvent {
    PlayerId sender = 0;
    const void* data = nullptr;
    std::uint32_t size = 0;
};

// DPN_MSGID_RECEIVE_PROGRESS: a message for the local player larger than one progress step
// is on its way; sent each time another kProgressStep bytes of it have arrived (the
// DPN_MSGID_RECEIVE of the whole message follows). `data` holds the bytes so far.
struct ReceiveProgressEvent {
    static constexpr std::uint32_t kProgressStep = 64 * 1024;
    PlayerId sender = 0;
    const void* data = nullptr;
    std::uint32_t received = 0;
    std::uint32_t total = 0;
};

// DPN_MSGID_PEER_INFO: a player's name or data changed.
struct PeerInfoEvent {
    PlayerId player = 0;
};

// DPN_MSGID_TERMINATE_SESSION: the session ended for us (host gone, we were destroyed).
struct TerminateSessionEvent {
    Result result = DPN_OK;
};

}  // namespace peer
