#pragma once
// The mutex of everything the server's thread shares with other threads (rings, events). The
// server's thread runs at real-time priority; a time-shared thread (the GUI thread waking a
// playback) preempted while holding a plain mutex would keep it waiting as long as the machine
// is busy, and the server would run dry. With priority inheritance the holder runs at the
// waiter's priority until it lets go.
#include <pthread.h>

namespace morvika::sound {

class SoundMutex {
public:
    SoundMutex();
    ~SoundMutex();
    SoundMutex(const SoundMutex&) = delete;
    SoundMutex& operator=(const SoundMutex&) = delete;

    void lock();
    void unlock();
    bool try_lock();

private:
    pthread_mutex_t m_mutex;
};

}  // namespace morvika::sound
