#pragma once
// Numbered window messages between the program's own windows and threads, over Qt's
// event system. A message target lives on the thread that created it; PostMessage queues
// to that thread from anywhere; SendMessage calls directly on the same thread and hands
// off and waits from another thread. A waiting sender is released, never dead-locked,
// when the target goes away.

#include <cstdint>
#include <functional>

using HWND = std::uint64_t;  // 0 is no window
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Called for a posted message that is never delivered (its target is gone), so that
// whatever lParam owns can be released.
using DropHandler = void (*)(UINT message, WPARAM wParam, LPARAM lParam);

class MsgReceiver;

class CMsgTarget {
public:
    CMsgTarget();
    virtual ~CMsgTarget();
    CMsgTarget(const CMsgTarget&) = delete;
    CMsgTarget& operator=(const CMsgTarget&) = delete;

    HWND Handle() const { return m_hWnd; }

    // Runs on the target's thread.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    // Stops delivery early; subclasses call it first in their destructors so that no
    // message reaches a half-destroyed object. Idempotent.
    void DetachMessages();

private:
    HWND m_hWnd;
    MsgReceiver* m_pReceiver;
};

// Queues a message for the target's thread. False when there is no such target (the drop
// handler has then already run).
bool PostMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam, DropHandler onDrop = nullptr);
// The same; `after` runs once the message has been handled or dropped, whichever comes.
bool PostMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam, DropHandler onDrop,
                 std::function<void()> after);

// Calls the target's WindowProc and returns its result. From another thread this waits
// until the target's thread has handled it; *delivered tells whether it was handled
// (false: no target, or the target went away while the sender waited; the result is 0).
LRESULT SendMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam, bool* delivered = nullptr);

bool IsWindow(HWND target);

// Number of cross-thread SendMessage calls waiting right now (for diagnosis and tests).
int PendingSendCount();
