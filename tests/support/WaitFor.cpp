#include "tests/support/WaitFor.h"

#include <QCoreApplication>
#include <QThread>

#include <thread>

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    const bool pumpEvents =
        QCoreApplication::instance() != nullptr && QThread::currentThread() == QCoreApplication::instance()->thread();
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (pumpEvents) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return true;
}
