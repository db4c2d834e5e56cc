#include "WaylandTestSession.h"

#include <pwd.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <thread>

namespace e2e {
namespace {

constexpr const char* kTestUser = "morvika-test";

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::seconds(30))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Each window of the tree with its place on the output.
struct ShownWindow {
    QString title;
    QRect rect;
    pid_t pid = 0;
};

void CollectWindows(const QJsonObject& node, std::vector<ShownWindow>& windows)
{
    const QJsonObject rect = node.value(QStringLiteral("rect")).toObject();
    const QJsonObject inner = node.value(QStringLiteral("window_rect")).toObject();
    if (node.contains(QStringLiteral("pid")) && !node.value(QStringLiteral("name")).isNull()) {
        windows.push_back(
            {node.value(QStringLiteral("name")).toString(),
             QRect(rect.value(QStringLiteral("x")).toInt() + inner.value(QStringLiteral("x")).toInt(),
                   rect.value(QStringLiteral("y")).toInt() + inner.value(QStringLiteral("y")).toInt(),
                   inner.value(QStringLiteral("width")).toInt(), inner.value(QStringLiteral("height")).toInt()),
             static_cast<pid_t>(node.value(QStringLiteral("pid")).toInt())});
    }
    for (const char* list : {"nodes", "floating_nodes"}) {
        for (const QJsonValue child : node.value(QString::fromLatin1(list)).toArray()) {
            CollectWindows(child.toObject(), windows);
        }
    }
}

}  // namespace

WaylandTestSession::~WaylandTestSession()
{
    for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) (*it)->Terminate(std::chrono::seconds(3));
    m_processes.clear();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

std::vector<std::string> WaylandTestSession::BaseEnv() const
{
    return {"XDG_RUNTIME_DIR=" + m_runtime,
            "HOME=" + m_dir + "/home",
            "XDG_CONFIG_HOME=" + m_dir + "/config",
            "XDG_DATA_HOME=" + m_dir + "/data",
            "XDG_CACHE_HOME=" + m_dir + "/cache",
            "XDG_STATE_HOME=" + m_dir + "/state",
            "TMPDIR=" + m_dir + "/tmp",
            "XDG_SESSION_TYPE=wayland",
            "XDG_CURRENT_DESKTOP=sway",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + m_runtime + "/bus"};
}

std::vector<std::string> WaylandTestSession::ClientEnv() const
{
    std::vector<std::string> env = BaseEnv();
    env.push_back("WAYLAND_DISPLAY=" + m_wayland);
    env.push_back("QT_QPA_PLATFORM=wayland");
    return env;
}

void WaylandTestSession::Prepare(StartOptions& options) const
{
    options.platform = "wayland";
    const std::vector<std::string> env = ClientEnv();
    options.extraEnv.insert(options.extraEnv.end(), env.begin(), env.end());
    options.runAsUid = m_uid;
    options.runAsGid = m_gid;
}

bool WaylandTestSession::StartProcess(ChildProcess& process, const std::vector<std::string>& argv,
                                      const std::string& log, const std::vector<std::string>& env) const
{
    if (m_uid >= 0) process.SetUser(static_cast<uid_t>(m_uid), static_cast<gid_t>(m_gid));
    return process.Start(argv, env, log, log);
}

bool WaylandTestSession::Spawn(ChildProcess& process, const std::vector<std::string>& argv, int stdinFd) const
{
    if (m_uid >= 0) process.SetUser(static_cast<uid_t>(m_uid), static_cast<gid_t>(m_gid));
    return process.Start(argv, ClientEnv(), m_dir + "/client.log", m_dir + "/client.log", stdinFd);
}

bool WaylandTestSession::Start(std::string& why)
{
    if (geteuid() == 0) {
        const passwd* user = getpwnam(kTestUser);
        if (user == nullptr) {
            why = std::string("no user ") + kTestUser + " to run the compositor as (tools/setup.sh adds it)";
            return false;
        }
        m_uid = static_cast<int>(user->pw_uid);
        m_gid = static_cast<int>(user->pw_gid);
    }
    char pattern[] = "/tmp/morvika-wayland-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        why = "mkdtemp failed";
        return false;
    }
    m_dir = pattern;
    m_runtime = m_dir + "/runtime";
    for (const char* sub : {"runtime", "home", "config/xdg-desktop-portal-wlr", "data", "cache", "state", "tmp"}) {
        std::filesystem::create_directories(m_dir + "/" + sub);
    }
    std::filesystem::permissions(m_runtime, std::filesystem::perms::owner_all);
    // Two outputs: the test pattern alone fills the first, which the portal shares; the
    // program's windows float on the second, as on a stacking desktop.
    std::ofstream(m_dir + "/sway.conf") << "output HEADLESS-1 resolution " << kWidth << "x" << kHeight
                                        << " position 0 0 bg #203040 solid_color\n"
                                        << "output HEADLESS-2 resolution " << kWidth << "x" << kHeight << " position "
                                        << kWidth
                                        << " 0 bg #304020 solid_color\n"
                                           "xwayland disable\n"
                                           "default_border none\n"
                                           "default_floating_border none\n"
                                           "workspace 1 output HEADLESS-1\n"
                                           "workspace 2 output HEADLESS-2\n"
                                           "assign [title=\"morvika-test-pattern\"] workspace 1\n"
                                           "for_window [title=\"morvika-test-pattern\"] fullscreen enable\n"
                                           "assign [app_id=\"(?i)morvika\"] workspace 2\n"
                                           "for_window [app_id=\"(?i)morvika\"] floating enable\n";
    // The portal shares the output without a chooser.
    std::ofstream(m_dir + "/config/xdg-desktop-portal-wlr/config")
        << "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n";
    if (m_uid >= 0) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir)) {
            [[maybe_unused]] const int ignored = lchown(entry.path().c_str(), m_uid, m_gid);
        }
        [[maybe_unused]] const int ignored = chown(m_dir.c_str(), m_uid, m_gid);
    }

    std::vector<std::string> env = BaseEnv();
    std::vector<std::string> swayEnv = env;
    swayEnv.insert(swayEnv.end(), {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1",
                                   "WLR_HEADLESS_OUTPUTS=2"});
    auto sway = std::make_unique<ChildProcess>();
    if (!StartProcess(*sway, {"sway", "-c", m_dir + "/sway.conf"}, m_dir + "/sway.log", swayEnv)) {
        why = "sway does not start (Debian package sway)";
        return false;
    }
    m_processes.push_back(std::move(sway));
    const bool socket = WaitFor([&] {
        for (const auto& entry : std::filesystem::directory_iterator(m_runtime)) {
            const std::string name = entry.path().filename();
            if (name.starts_with("wayland-") && !name.ends_with(".lock")) {
                m_wayland = entry.path();
                return true;
            }
        }
        return false;
    });
    if (!socket) {
        why = "sway opened no Wayland socket; see " + m_dir + "/sway.log";
        return false;
    }
    env.push_back("WAYLAND_DISPLAY=" + m_wayland);

    // The portal and its back end are started by the bus when first asked, with its environment.
    auto bus = std::make_unique<ChildProcess>();
    if (!StartProcess(
            *bus, {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + m_runtime + "/bus"},
            m_dir + "/dbus.log", env) ||
        !WaitFor([&] { return std::filesystem::exists(m_runtime + "/bus"); })) {
        why = "no D-Bus session bus";
        return false;
    }
    m_processes.push_back(std::move(bus));
    auto pipewire = std::make_unique<ChildProcess>();
    if (!StartProcess(*pipewire, {"pipewire"}, m_dir + "/pipewire.log", env) ||
        !WaitFor([&] { return std::filesystem::exists(m_runtime + "/pipewire-0"); })) {
        why = "PipeWire does not start (Debian package pipewire)";
        return false;
    }
    m_processes.push_back(std::move(pipewire));
    auto wireplumber = std::make_unique<ChildProcess>();
    if (!StartProcess(*wireplumber, {"wireplumber"}, m_dir + "/wireplumber.log", env)) {
        why = "WirePlumber does not start (Debian package wireplumber)";
        return false;
    }
    m_processes.push_back(std::move(wireplumber));
    // The portal's wlroots back end, started here rather than by the bus for its log and for
    // the shim that lets it cast without DMA-BUF (tests/e2e/screencopy_shm_shim.c).
    auto backend = std::make_unique<ChildProcess>();
    std::vector<std::string> backendEnv = env;
#ifdef MORVIKA_SCREENCOPY_SHIM
    backendEnv.push_back(std::string("LD_PRELOAD=") + MORVIKA_SCREENCOPY_SHIM);
#endif
    if (!StartProcess(*backend,
                      {"/usr/libexec/xdg-desktop-portal-wlr", "-l", "TRACE", "-c",
                       m_dir + "/config/xdg-desktop-portal-wlr/config"},
                      m_dir + "/portal-wlr.log", backendEnv)) {
        why = "xdg-desktop-portal-wlr does not start (Debian package xdg-desktop-portal-wlr)";
        return false;
    }
    m_processes.push_back(std::move(backend));
    // A desktop has its portal running by the time programs start; started on first use it
    // can take longer than a caller's time-out.
    // As the desktop's user: the bus lets no other user in, not even root.
    std::vector<std::string> call;
    if (m_uid >= 0) {
        call = {"setpriv", "--reuid=" + std::to_string(m_uid), "--regid=" + std::to_string(m_gid), "--clear-groups"};
    }
    call.insert(call.end(), {"env", std::string("DBUS_SESSION_BUS_ADDRESS=unix:path=") + m_runtime + "/bus", "gdbus",
                             "call", "--session", "--dest", "org.freedesktop.portal.Desktop", "--object-path",
                             "/org/freedesktop/portal/desktop", "--method", "org.freedesktop.DBus.Properties.Get",
                             "org.freedesktop.portal.ScreenCast", "version"});
    if (!WaitFor([&] { return RunCommand(call, std::chrono::seconds(60)).has_value(); }, std::chrono::seconds(90))) {
        why = "the ScreenCast portal does not answer (xdg-desktop-portal, xdg-desktop-portal-wlr)\n" + Diagnostics();
        return false;
    }
    return true;
}

std::string WaylandTestSession::Diagnostics() const
{
    std::string text;
    for (const char* log :
         {"sway.log", "dbus.log", "pipewire.log", "wireplumber.log", "portal-wlr.log", "client.log"}) {
        std::ifstream in(m_dir + "/" + log);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text += std::string("----- ") + log + "\n" + all.substr(all.size() > 30000 ? all.size() - 30000 : 0);
    }
    return text;
}

QImage WaylandTestSession::Screenshot(const QRect& area) const
{
    const std::string geometry = std::to_string(area.x()) + "," + std::to_string(area.y()) + " " +
                                 std::to_string(area.width()) + "x" + std::to_string(area.height());
    const auto png = RunCommand(
        {"env", "WAYLAND_DISPLAY=" + m_wayland, "XDG_RUNTIME_DIR=" + m_runtime, "grim", "-g", geometry, "-"});
    if (!png) return QImage();
    return QImage::fromData(reinterpret_cast<const uchar*>(png->data()), static_cast<int>(png->size()), "PNG");
}

std::string WaylandTestSession::IpcSocket() const
{
    for (const auto& entry : std::filesystem::directory_iterator(m_runtime)) {
        if (entry.path().filename().string().starts_with("sway-ipc.")) return entry.path();
    }
    return {};
}

bool WaylandTestSession::Sway(const std::string& command) const
{
    const std::string ipc = IpcSocket();
    return !ipc.empty() && RunCommand({"swaymsg", "-s", ipc, command}).has_value();
}

QRect WaylandTestSession::WindowRect(const std::string& title, pid_t pid) const
{
    const std::string ipc = IpcSocket();
    if (ipc.empty()) return QRect();
    const auto tree = RunCommand({"swaymsg", "-s", ipc, "-r", "-t", "get_tree"});
    if (!tree) return QRect();
    std::vector<ShownWindow> windows;
    CollectWindows(QJsonDocument::fromJson(QByteArray::fromStdString(*tree)).object(), windows);
    for (const auto& window : windows) {
        if (window.title.startsWith(QString::fromStdString(title)) && (pid == 0 || window.pid == pid))
            return window.rect;
    }
    return QRect();
}

}  // namespace e2e
