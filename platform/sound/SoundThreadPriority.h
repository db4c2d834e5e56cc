#pragma once
// Scheduling of the threads that keep sound flowing. A sound thread that wakes late on a busy
// machine leaves a gap or shifts the voice, so these threads ask for real-time scheduling:
// directly where the process may (the capability to raise its own priority), else through the
// desktop's real-time service (rtkit on the system bus). Refusal is normal for a desktop
// without that service; the threads then run on at their normal priority.

namespace morvika::sound {

enum class RealtimeResult {
    Granted,         // the process set it itself
    GrantedService,  // the desktop's real-time service set it
    Refused,
};

// The calling thread asks for round-robin real-time scheduling at a low real-time priority
// (below the sound server's own threads). After one refusal by both ways, later calls give
// Refused at once without asking again.
RealtimeResult RequestRealtimeForThisThread();

// Raises the priority (nice value) of every thread of the process, and so of the threads it
// creates later. 0, or the errno of the refusal.
int RaiseProcessPriority(int nice);

}  // namespace morvika::sound
