#pragma once
// The receiving half of a peer link: frames taken apart in a read buffer, each header checked
// before its body is read, and the payload of a Data frame read straight into its message;
// on a fast link the chunks guessed to follow are read ahead there too. Reading may be held
// (flow control) and resumed. I/O thread only.

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include <sys/uio.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/peer/PeerFrame.h"

namespace peer {

class CPeerConnection;

class CPeerReader {
public:
    using Clock = std::chrono::steady_clock;

    CPeerReader(CPeerConnection& link, asio::ip::tcp::socket& socket);

    // Frames may flow: reading begins.
    void Begin();
    // The handshake wants the peer's records: reads what the socket has into the TLS input.
    void ReadHandshake() { ReadCipher(false); }

    void Hold() { ++m_holds; }
    void Release();
    bool Held() const { return m_holds > 0; }
    Clock::time_point LastReceived() const { return m_lastReceived; }

private:
    // Chunks guessed to follow the one being read, read ahead straight into their message.
    static constexpr std::size_t kMaxGuesses = 12;
    struct Guess {
        std::array<std::uint8_t, wire::kHeaderSize> head{};      // what came where its header should be
        std::array<std::uint8_t, wire::kHeaderSize> expected{};  // the header if the guess is right
        std::uint8_t* at = nullptr;
        std::size_t size = 0;
        std::uint8_t flags = 0;
    };
    using Vectors = std::array<iovec, 2 + 2 * kMaxGuesses>;
    // How a step of reading ended: go on, wait for more bytes, or the link has closed.
    enum class Step { Go, Wait, Closed };

    void ReadMore();
    Step ReadOnce();
    std::size_t PlanRead(Vectors& vectors, std::size_t& tailAt);
    void AwaitReadable();
    void ReadCipher(bool thenFrames);
    void ReadTls();
    // An empty buffer starts over; one without room for a whole frame is moved up.
    void CompactReadBuffer();
    void GuessAhead();
    bool TakeRead(std::size_t n, std::size_t tailAt);
    bool BeginGuessed(const Guess& guess, std::size_t landed);
    void PutBack(std::size_t k, std::size_t n, std::size_t tailAt);
    bool DispatchBuffered();
    Step FillPayload();
    Step BeginData(const wire::FrameHeader& header, std::size_t available);
    bool Violation();

    CPeerConnection& m_link;
    asio::ip::tcp::socket& m_socket;
    const int m_fd;

    // Incoming bytes; frames are taken out of it in place, so many frames cost one read.
    Bytes m_readBuffer;
    std::size_t m_readStart = 0;
    std::size_t m_readEnd = 0;
    // The payload of the Data frame being read, in place in its message.
    std::uint8_t* m_payloadAt = nullptr;
    std::size_t m_payloadLeft = 0;
    std::size_t m_payloadSize = 0;
    std::uint8_t m_payloadFlags = 0;
    std::array<Guess, kMaxGuesses> m_guesses;
    std::size_t m_guessCount = 0;
    bool m_readingCipher = false;

    Clock::time_point m_lastReceived;
    int m_holds = 0;        // targets holding our reading
    bool m_parked = false;  // a read is due once the holds are gone
};

}  // namespace peer
