#include "platform/winmsg/WinMsg.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace {

const QEvent::Type kMsgEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// State shared between a waiting sender and the event that carries its call.
struct SyncCall {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    bool delivered = false;
    LRESULT result = 0;

    void Finish(bool wasDelivered, LRESULT value)
    {
        {
            std::lock_guard lock(mutex);
            if (finished) return;
            finished = true;
            delivered = wasDelivered;
            result = value;
        }
        cv.notify_all();
    }
};

class MsgEvent : public QEvent {
public:
    MsgEvent(UINT message, WPARAM wParam, LPARAM lParam, DropHandler onDrop, std::shared_ptr<SyncCall> sync,
             std::function<void()> after = nullptr)
        : QEvent(kMsgEventType),
          m_message(message),
          m_wParam(wParam),
          m_lParam(lParam),
          m_onDrop(onDrop),
          m_sync(std::move(sync)),
          m_after(std::move(after))
    {
    }

    // An event destroyed without delivery: its target died first.
    ~MsgEvent() override
    {
        if (!m_handled) {
            if (m_sync) m_sync->Finish(false, 0);
            if (m_onDrop) m_onDrop(m_message, m_wParam, m_lParam);
        }
        if (m_after) m_after();
    }

    UINT m_message;
    WPARAM m_wParam;
    LPARAM m_lParam;
    DropHandler m_onDrop;
    std::shared_ptr<SyncCall> m_sync;
    std::function<void()> m_after;
    bool m_handled = false;
};

struct Entry {
    CMsgTarget* target;
    MsgReceiver* receiver;
    QThread* thread;
};

// Posting takes it shared: the GUI thread and worker threads may each post hundreds of
// messages a second, and a poster preempted while posting must not hold the others up.
// Registering and removing a window take it alone.
std::shared_mutex g_registryMutex;
std::unordered_map<HWND, Entry> g_registry;
std::atomic<HWND> g_nextHandle{1};
std::atomic<int> g_pendingSends{0};

}  // namespace

class MsgReceiver : public QObject {
public:
    explicit MsgReceiver(CMsgTarget* target) : m_target(target) {}

    void Detach() { m_target = nullptr; }

    bool event(QEvent* e) override
    {
        if (e->type() != kMsgEventType) return QObject::event(e);
        auto* msg = static_cast<MsgEvent*>(e);
        if (m_target == nullptr) return true;  // destructor of the event drops it
        msg->m_handled = true;
        const LRESULT result = m_target->WindowProc(msg->m_message, msg->m_wParam, msg->m_lParam);
        if (msg->m_sync) msg->m_sync->Finish(true, result);
        return true;
    }

private:
    CMsgTarget* m_target;
};

CMsgTarget::CMsgTarget() : m_hWnd(g_nextHandle.fetch_add(1)), m_pReceiver(new MsgReceiver(this))
{
    std::unique_lock lock(g_registryMutex);
    g_registry[m_hWnd] = Entry{this, m_pReceiver, QThread::currentThread()};
}

CMsgTarget::~CMsgTarget()
{
    DetachMessages();
}

void CMsgTarget::DetachMessages()
{
    if (m_pReceiver == nullptr) return;
    {
        std::unique_lock lock(g_registryMutex);
        g_registry.erase(m_hWnd);
    }
    m_pReceiver->Detach();
    // Deleting the receiver deletes its pending events, which releases waiting senders
    // and runs the drop handlers.
    delete m_pReceiver;
    m_pReceiver = nullptr;
}

bool PostMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam, DropHandler onDrop)
{
    return PostMessage(target, message, wParam, lParam, onDrop, nullptr);
}

bool PostMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam, DropHandler onDrop,
                 std::function<void()> after)
{
    {
        std::shared_lock lock(g_registryMutex);
        const auto it = g_registry.find(target);
        if (it != g_registry.end()) {
            // Posted under the lock, so the receiver cannot be deleted in between.
            QCoreApplication::postEvent(it->second.receiver,
                                        new MsgEvent(message, wParam, lParam, onDrop, nullptr, std::move(after)));
            return true;
        }
    }
    if (onDrop) onDrop(message, wParam, lParam);
    if (after) after();
    return false;
}

LRESULT SendMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam, bool* delivered)
{
    if (delivered) *delivered = false;
    std::shared_ptr<SyncCall> sync;
    CMsgTarget* direct = nullptr;
    {
        std::shared_lock lock(g_registryMutex);
        const auto it = g_registry.find(target);
        if (it == g_registry.end()) return 0;
        if (it->second.thread == QThread::currentThread()) {
            direct = it->second.target;
        } else {
            sync = std::make_shared<SyncCall>();
            QCoreApplication::postEvent(it->second.receiver, new MsgEvent(message, wParam, lParam, nullptr, sync));
        }
    }
    if (direct != nullptr) {
        if (delivered) *delivered = true;
        return direct->WindowProc(message, wParam, lParam);
    }
    ++g_pendingSends;
    std::unique_lock lock(sync->mutex);
    sync->cv.wait(lock, [&] { return sync->finished; });
    --g_pendingSends;
    if (delivered) *delivered = sync->delivered;
    return sync->result;
}

bool IsWindow(HWND target)
{
    std::shared_lock lock(g_registryMutex);
    return g_registry.count(target) != 0;
}

int PendingSendCount()
{
    return g_pendingSends.load();
}
