#pragma once
// Message numbers between the program's own windows, and the send block that carries
// bytes with a synchronous message.

#include <cstdint>

#include "platform/winmsg/WinMsg.h"

// Transport events (to the session view).
constexpr UINT WM_HOST_PLAYER_ADDED = 0x81FF;
constexpr UINT WM_HOST_PLAYER_REMOVED = 0x8200;
constexpr UINT WM_HOST_MESSAGE = 0x8201;
constexpr UINT WM_SESSION_TERMINATED = 0x8202;
constexpr UINT WM_CONNECT_REQUEST = 0x8203;
constexpr UINT WM_CONNECT_COMPLETE = 0x8204;
constexpr UINT WM_CLIENT_PLAYER_ADDED = 0x8205;
constexpr UINT WM_CLIENT_PLAYER_REMOVED = 0x8206;
constexpr UINT WM_CLIENT_MESSAGE = 0x8207;
// Part of a large incoming message has arrived: wParam = its kind (0 while unknown),
// lParam = bytes so far (low 32 bits) and total (high 32 bits). Forwarded to the main window.
constexpr UINT WM_RECEIVE_PROGRESS = 0x8208;

// Main window.
constexpr UINT WM_GRAPH_EVENT = 0x8065;
constexpr UINT WM_SHOW_MAIN = 0x80D2;
constexpr UINT WM_USER_WND_NOTIFY = 0x80D5;  // from user windows; no action
constexpr UINT WM_DRAIN_QUEUE = 0x80DC;
constexpr UINT WM_PEER_MESSAGE = 0x80DD;
constexpr UINT WM_CREATE_USER = 0x80E6;
constexpr UINT WM_DELETE_USER = 0x80E7;
constexpr UINT WM_KILL_USER = 0x80E8;
constexpr UINT WM_LEAVE_SESSION = 0x80E9;
constexpr UINT WM_STILL_IMAGE = 0x80F0;
constexpr UINT WM_STILL_IMAGE_RESEND = 0x80F1;
constexpr UINT WM_CHAT_SEND = 0x80F2;
constexpr UINT WM_CAMERA_REFRESH = 0x80F3;
constexpr UINT WM_SHARES_LIST_SEND = 0x80F4;
constexpr UINT WM_SHARES_ANNOUNCE = 0x80F5;
constexpr UINT WM_SHARES_REQUEST_SEND = 0x80F6;
constexpr UINT WM_SHARES_DATA_SEND = 0x80F7;
constexpr UINT WM_VOICE_QUEUED = 0x8106;
constexpr UINT WM_VOICE_LEVEL = 0x8107;  // capture level, to the level window: wParam peak, lParam mean
constexpr UINT WM_SHARE_START = 0x810E;
constexpr UINT WM_SHARE_STOP = 0x810F;
constexpr UINT WM_SHARE_VIEW_SHOW = 0x8110;
constexpr UINT WM_SHARE_VIEW_HIDE = 0x8111;
constexpr UINT WM_JPEG_FRAME = 0x8191;
constexpr UINT WM_TRAY_NOTIFY = 0x81F4;

// Bytes handed to the main window with a synchronous message; they stay the sender's.
struct SendBlock {
    std::uint32_t reserved;
    std::uint32_t count;
    const unsigned char* bytes;
};
