#pragma once
// Notification sounds: short files played through the desktop's sound server without
// making the caller wait.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Plays a sound file asynchronously. Play returns at once and never reports a failure:
// a missing file or an absent sound server simply stays silent.
class CNotificationSoundPlayer {
public:
    virtual ~CNotificationSoundPlayer() = default;
    virtual void Play(const std::string& path) = 0;
};

// libcanberra behind a worker thread of its own, so that neither connecting to the sound
// server nor loading the file ever runs on the caller's thread. Sounds overlap: a new one
// never stops one that is playing.
class CCanberraSoundPlayer final : public CNotificationSoundPlayer {
public:
    CCanberraSoundPlayer();
    ~CCanberraSoundPlayer() override;
    CCanberraSoundPlayer(const CCanberraSoundPlayer&) = delete;
    CCanberraSoundPlayer& operator=(const CCanberraSoundPlayer&) = delete;

    void Play(const std::string& path) override;

    // Waits until every request so far has been handed to the sound server or has failed.
    bool WaitIdle(std::chrono::milliseconds timeout);
    // Requests handed over, and requests that failed (no server, no file).
    int Started() const;
    int Failed() const;

private:
    void Run();
    bool PlayOne(const std::string& path);  // worker thread only

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::string> m_queue;
    bool m_bBusy = false;
    bool m_bStop = false;
    int m_nStarted = 0;
    int m_nFailed = 0;
    void* m_pContext = nullptr;  // ca_context*, touched only by the worker
    std::thread m_thread;
};
