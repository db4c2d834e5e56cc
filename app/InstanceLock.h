#pragma once

#include <string>

// Keeps a second copy of the program from running with the same profile: an exclusive
// advisory lock on "Halvo.lock". The kernel drops the lock when the process ends, however
// it ends, so a crashed run never blocks the next one.
class CInstanceLock {
public:
    CInstanceLock() = default;
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // True when this process now holds the lock in folder dir; false when another holds it
    // or the file cannot be created.
    bool Acquire(const std::string& dir);
    void Release();
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
