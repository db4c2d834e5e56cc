// A host or member in a process of its own, for tests that kill or freeze it.
//   peer_member_helper host [--fast]
//   peer_member_helper join PORT [--fast]
// Prints "READY <port> <player id>" once in the session (or "FAILED <code>"), then stays in
// it until its standard input closes.

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/peer/PeerService.h"

namespace {

const peer::Guid kApp = *peer::GuidFromString("{1B0D3C52-7A41-4E29-9C55-3F0B7E8A6D21}");

std::mutex g_mutex;
std::condition_variable g_done;
bool g_complete = false;
peer::Result g_result = 0;

peer::Result Handler(void*, std::uint32_t id, void* event)
{
    if (id == peer::DPN_MSGID_CONNECT_COMPLETE) {
        std::lock_guard lock(g_mutex);
        g_result = static_cast<peer::ConnectCompleteEvent*>(event)->result;
        g_complete = true;
        g_done.notify_all();
    }
    if (id == peer::DPN_MSGID_INDICATE_CONNECT) {
        auto* request = static_cast<peer::IndicateConnectEvent*>(event);
        static std::uint32_t reply = 0;  // never changed after the session starts
        request->replyData = &reply;
        request->replySize = sizeof reply;
    }
    return peer::DPN_OK;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    peer::ServiceOptions options;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fast") == 0) {
            options.keepAliveInterval = std::chrono::milliseconds(200);
            options.keepAliveTimeout = std::chrono::milliseconds(1500);
        }
    }
    peer::CPeerService service;
    service.Initialize(nullptr, Handler, options);
    service.SetPeerInfo("helper", nullptr, 0);
    if (mode == "host") {
        if (service.Host({kApp, "VoiceSession"}, 0) != peer::DPN_OK) return 1;
    } else if (mode == "join" && argc >= 3) {
        const auto port = static_cast<std::uint16_t>(std::stoi(argv[2]));
        const std::uint8_t data[] = {1};
        if (service.Connect(kApp, "127.0.0.1", port, data, 1) != peer::DPNSUCCESS_PENDING) return 1;
        std::unique_lock lock(g_mutex);
        g_done.wait(lock, [] { return g_complete; });
        if (g_result != peer::DPN_OK) {
            std::printf("FAILED %x\n", static_cast<unsigned>(g_result));
            std::fflush(stdout);
            return 1;
        }
    } else {
        return 2;
    }
    std::printf("READY %u %u\n", static_cast<unsigned>(service.BoundPort()), service.LocalPlayer());
    std::fflush(stdout);
    char buffer[64];
    while (::read(0, buffer, sizeof buffer) > 0) {}
    service.Close();
    return 0;
}
