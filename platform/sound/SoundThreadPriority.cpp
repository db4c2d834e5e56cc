#include "platform/sound/SoundThreadPriority.h"

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariant>

namespace morvika::sound {

namespace {

// The sound server runs its own threads at 5; ours stay under them but above every
// time-shared thread.
constexpr int kRealtimePriority = 3;
// The service only grants threads of a process whose real-time CPU time is capped.
constexpr rlim_t kRealtimeCpuLimitUs = 200000;

std::atomic<bool> g_refused{false};

QVariant ServiceProperty(QDBusConnection& bus, const char* name)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.RealtimeKit1"), QStringLiteral("/org/freedesktop/RealtimeKit1"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.RealtimeKit1") << QString::fromLatin1(name);
    const QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
}

bool AskService(pid_t tid)
{
    // No system bus (a container, a bare session) is the common refusal: find out quickly.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return false;
    int priority = kRealtimePriority;
    if (const QVariant max = ServiceProperty(bus, "MaxRealtimePriority"); max.isValid()) {
        priority = std::min(priority, max.toInt());
    }
    rlim_t limit = kRealtimeCpuLimitUs;
    if (const QVariant max = ServiceProperty(bus, "RTTimeUSecMax"); max.isValid() && max.toLongLong() > 0) {
        limit = std::min<rlim_t>(limit, static_cast<rlim_t>(max.toLongLong()));
    }
    rlimit current{};
    if (getrlimit(RLIMIT_RTTIME, &current) == 0 && (current.rlim_max == RLIM_INFINITY || current.rlim_max > limit)) {
        const rlimit capped{limit, limit};
        setrlimit(RLIMIT_RTTIME, &capped);
    }
    if (priority < 1) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.RealtimeKit1"), QStringLiteral("/org/freedesktop/RealtimeKit1"),
        QStringLiteral("org.freedesktop.RealtimeKit1"), QStringLiteral("MakeThreadRealtime"));
    call << static_cast<quint64>(tid) << static_cast<quint32>(priority);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace

RealtimeResult RequestRealtimeForThisThread()
{
    if (g_refused.load()) return RealtimeResult::Refused;
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    // Reset on fork: a child process (a helper the program starts) must not inherit it.
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0) return RealtimeResult::Granted;
    if (AskService(static_cast<pid_t>(syscall(SYS_gettid)))) return RealtimeResult::GrantedService;
    g_refused = true;
    return RealtimeResult::Refused;
}

int RaiseProcessPriority(int nice)
{
    // The nice value belongs to each thread; the threads that exist already get it one by one.
    int result = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            const int tid = std::atoi(entry->d_name);
            if (tid > 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0 && result == 0) result = errno;
        }
        closedir(tasks);
        return result;
    }
    return setpriority(PRIO_PROCESS, 0, nice) == 0 ? 0 : errno;
}

}  // namespace morvika::sound
