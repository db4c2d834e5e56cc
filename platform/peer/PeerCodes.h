#pragma once
// Event identifiers, result codes and flags of the peer session service. The numbers are
// those that peer-session callers on Windows know, so a handler can dispatch on them as is.

#include <cstdint>

namespace peer {

using PlayerId = std::uint32_t;
using Result = std::int32_t;

// As a target of SendTo: every player of the session but the sender.
inline constexpr PlayerId DPNID_ALL_PLAYERS_GROUP = 0;

// Event identifiers handed to the event handler.
inline constexpr std::uint32_t DPN_MSGID_ASYNC_OP_COMPLETE = 0xFFFF0003;
inline constexpr std::uint32_t DPN_MSGID_CONNECT_COMPLETE = 0xFFFF0005;
inline constexpr std::uint32_t DPN_MSGID_CREATE_PLAYER = 0xFFFF0007;
inline constexpr std::uint32_t DPN_MSGID_DESTROY_PLAYER = 0xFFFF0009;
inline constexpr std::uint32_t DPN_MSGID_INDICATE_CONNECT = 0xFFFF000E;
inline constexpr std::uint32_t DPN_MSGID_PEER_INFO = 0xFFFF0010;
inline constexpr std::uint32_t DPN_MSGID_RECEIVE = 0xFFFF0011;
inline constexpr std::uint32_t DPN_MSGID_RETURN_BUFFER = 0xFFFF0013;
inline constexpr std::uint32_t DPN_MSGID_TERMINATE_SESSION = 0xFFFF0016;
// Ours: part of a large message for the local player has arrived (ReceiveProgressEvent).
inline constexpr std::uint32_t DPN_MSGID_RECEIVE_PROGRESS = 0xFFFF0100;

constexpr Result MakeCode(std::uint32_t value)
{
    return static_cast<Result>(value);
}

// Result codes.
inline constexpr Result DPN_OK = 0;
inline constexpr Result DPNSUCCESS_PENDING = MakeCode(0x0015800E);
inline constexpr Result DPNERR_ABORTED = MakeCode(0x80158030);
inline constexpr Result DPNERR_ALREADYCLOSING = MakeCode(0x80158050);
inline constexpr Result DPNERR_CONNECTIONLOST = MakeCode(0x80158160);
inline constexpr Result DPNERR_HOSTREJECTEDCONNECTION = MakeCode(0x80158260);
inline constexpr Result DPNERR_HOSTTERMINATEDSESSION = MakeCode(0x80158270);
inline constexpr Result DPNERR_INVALIDAPPLICATION = MakeCode(0x80158300);
inline constexpr Result DPNERR_INVALIDFLAGS = MakeCode(0x80158340);
inline constexpr Result DPNERR_INVALIDPLAYER = MakeCode(0x80158420);
inline constexpr Result DPNERR_INVALIDVERSION = MakeCode(0x80158460);
inline constexpr Result DPNERR_NOCONNECTION = MakeCode(0x80158480);
inline constexpr Result DPNERR_NOTHOST = MakeCode(0x80158530);
inline constexpr Result DPNERR_NOTREADY = MakeCode(0x80158540);
inline constexpr Result DPNERR_TIMEDOUT = MakeCode(0x80158630);
inline constexpr Result DPNERR_UNINITIALIZED = MakeCode(0x80158640);
// Ours: the host showed a key the joiner does not trust (ServiceOptions::checkHostKey).
inline constexpr Result DPNERR_UNTRUSTEDHOST = MakeCode(0x80159010);
// Ours: the host's name could not be looked up.
inline constexpr Result DPNERR_HOSTNOTFOUND = MakeCode(0x80159011);
// Ours: nothing accepted a link at the host's address and port.
inline constexpr Result DPNERR_NOANSWER = MakeCode(0x80159012);
// Ours, in Terminate: the host removed this member from its session.
inline constexpr Result DPNERR_HOSTDESTROYEDPLAYER = MakeCode(0x80159013);
inline constexpr Result DPNERR_INVALIDPARAM = MakeCode(0x80070057);  // E_INVALIDARG
inline constexpr Result DPNERR_OUTOFMEMORY = MakeCode(0x8007000E);   // E_OUTOFMEMORY

// Send flags; only the priority bits mean something here, the rest are accepted and ignored.
inline constexpr std::uint32_t DPNSEND_NOCOMPLETE = 0x0002;
inline constexpr std::uint32_t DPNSEND_PRIORITY_LOW = 0x0040;
inline constexpr std::uint32_t DPNSEND_PRIORITY_HIGH = 0x0080;

// Reasons carried by the player-destroyed event.
inline constexpr std::uint32_t DPNDESTROYPLAYERREASON_NORMAL = 1;
inline constexpr std::uint32_t DPNDESTROYPLAYERREASON_CONNECTIONLOST = 2;
inline constexpr std::uint32_t DPNDESTROYPLAYERREASON_SESSIONTERMINATED = 3;
inline constexpr std::uint32_t DPNDESTROYPLAYERREASON_HOSTDESTROYEDPLAYER = 4;

inline constexpr std::uint16_t kDefaultPort = 7066;

}  // namespace peer
