#pragma once
// Message numbers between the program's own windows, and the send block that carries
// bytes with a synchronous message. Plain numbers, so that every library can name them
// without depending on the message layer.

#include <cstdint>

// Transport events (to the session view).
constexpr std::uint32_t WM_HOST_PLAYER_ADDED = 0x81FF;
constexpr std::uint32_t WM_HOST_PLAYER_REMOVED = 0x8200;
constexpr std::uint32_t WM_HOST_MESSAGE = 0x8201;
constexpr std::uint32_t WM_SESSION_TERMINATED = 0x8202;
constexpr std::uint32_t WM_CONNECT_REQUEST = 0x8203;
constexpr std::uint32_t WM_CONNECT_COMPLETE = 0x8204;
constexpr std::uint32_t WM_CLIENT_PLAYER_ADDED = 0x8205;
constexpr std::uint32_t WM_CLIENT_PLAYER_REMOVED = 0x8206;
constexpr std::uint32_t WM_CLIENT_MESSAGE = 0x8207;
// Part of a large incoming message has arrived: wParam = its kind (0 while unknown),
// lParam = bytes so far (low 32 bits) and total (high 32 bits). Forwarded to the main window.
constexpr std::uint32_t WM_RECEIVE_PROGRESS = 0x8208;

// Main window.
constexpr std::uint32_t WM_GRAPH_EVENT = 0x8065;
constexpr std::uint32_t WM_SHOW_MAIN = 0x80D2;
constexpr std::uint32_t WM_USER_WND_NOTIFY = 0x80D5;  // from user windows; no action
constexpr std::uint32_t WM_DRAIN_QUEUE = 0x80DC;
constexpr std::uint32_t WM_PEER_MESSAGE = 0x80DD;
constexpr std::uint32_t WM_CREATE_USER = 0x80E6;
constexpr std::uint32_t WM_DELETE_USER = 0x80E7;
constexpr std::uint32_t WM_KILL_USER = 0x80E8;
constexpr std::uint32_t WM_LEAVE_SESSION = 0x80E9;
constexpr std::uint32_t WM_STILL_IMAGE = 0x80F0;
constexpr std::uint32_t WM_STILL_IMAGE_RESEND = 0x80F1;
constexpr std::uint32_t WM_CHAT_SEND = 0x80F2;
constexpr std::uint32_t WM_CAMERA_REFRESH = 0x80F3;
constexpr std::uint32_t WM_SHARES_LIST_SEND = 0x80F4;
constexpr std::uint32_t WM_SHARES_ANNOUNCE = 0x80F5;
// lParam of the two below: the sender's CPeerMessage, which the main window takes over (it is
// empty when the call returns) rather than copying a whole file.
constexpr std::uint32_t WM_SHARES_REQUEST_SEND = 0x80F6;
constexpr std::uint32_t WM_SHARES_DATA_SEND = 0x80F7;
// Two the main window takes without acting on them.
constexpr std::uint32_t WM_QUIET_NOTIFY_1 = 0x8104;
constexpr std::uint32_t WM_QUIET_NOTIFY_2 = 0x8105;
constexpr std::uint32_t WM_VOICE_QUEUED = 0x8106;
constexpr std::uint32_t WM_VOICE_LEVEL = 0x8107;  // capture level, to the level window: wParam peak, lParam mean
constexpr std::uint32_t WM_SHARE_START = 0x810E;
constexpr std::uint32_t WM_SHARE_STOP = 0x810F;
constexpr std::uint32_t WM_SHARE_VIEW_SHOW = 0x8110;
constexpr std::uint32_t WM_SHARE_VIEW_HIDE = 0x8111;
constexpr std::uint32_t WM_JPEG_FRAME = 0x8191;
constexpr std::uint32_t WM_TRAY_NOTIFY = 0x81F4;

// Bytes handed to the main window with a synchronous message; they stay the sender's.
struct SendBlock {
    std::uint32_t reserved;
    std::uint32_t count;
    const unsigned char* bytes;
};
