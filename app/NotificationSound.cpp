#include "app/NotificationSound.h"

#include <canberra.h>

CCanberraSoundPlayer::CCanberraSoundPlayer() : m_thread([this] { Run(); }) {}

CCanberraSoundPlayer::~CCanberraSoundPlayer()
{
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void CCanberraSoundPlayer::Play(const std::string& path)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(path);
    }
    m_wake.notify_one();
}

bool CCanberraSoundPlayer::WaitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] { return m_queue.empty() && !m_bBusy; });
}

int CCanberraSoundPlayer::Started() const
{
    std::lock_guard lock(m_mutex);
    return m_nStarted;
}

int CCanberraSoundPlayer::Failed() const
{
    std::lock_guard lock(m_mutex);
    return m_nFailed;
}

// Worker thread.
void CCanberraSoundPlayer::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bStop || !m_queue.empty(); });
        if (m_bStop) {
            break;
        }
        const std::string path = std::move(m_queue.front());
        m_queue.pop_front();
        m_bBusy = true;
        lock.unlock();
        const bool started = PlayOne(path);
        lock.lock();
        m_bBusy = false;
        (started ? m_nStarted : m_nFailed) += 1;
        if (m_queue.empty()) {
            m_idle.notify_all();
        }
    }
    lock.unlock();
    if (m_pContext != nullptr) {
        ca_context_destroy(static_cast<ca_context*>(m_pContext));
        m_pContext = nullptr;
    }
    lock.lock();
    m_idle.notify_all();
}

// Worker thread. The context is opened on first use and dropped after a failure, so a sound
// server that starts later is found on the next sound.
bool CCanberraSoundPlayer::PlayOne(const std::string& path)
{
    if (m_pContext == nullptr) {
        ca_context* context = nullptr;
        if (ca_context_create(&context) != CA_SUCCESS) {
            return false;
        }
        ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Morvika", CA_PROP_APPLICATION_ID,
                                "jp.oskel.morvika", nullptr);
        if (ca_context_open(context) != CA_SUCCESS) {
            ca_context_destroy(context);
            return false;
        }
        m_pContext = context;
    }
    auto* context = static_cast<ca_context*>(m_pContext);
    const int result = ca_context_play(context, 0, CA_PROP_MEDIA_FILENAME, path.c_str(), CA_PROP_MEDIA_ROLE, "event",
                                       CA_PROP_CANBERRA_CACHE_CONTROL, "never", nullptr);
    if (result == CA_ERROR_DISCONNECTED || result == CA_ERROR_STATE) {
        ca_context_destroy(context);
        m_pContext = nullptr;
    }
    return result == CA_SUCCESS;
}
