// Morvika: start-up and shut-down of the program.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>

#include <fcntl.h>
#include <unistd.h>

#include "app/AppPaths.h"
#include "app/HalvoApp.h"
#include "app/InstanceCall.h"
#include "app/InstanceLock.h"
#include "app/Log.h"
#include "app/StartupOptions.h"
#include "app/Version.h"
#include "platform/sound/SoundThreadPriority.h"
#include "session/HalvoControl.h"
#include "session/HalvoDlg.h"

namespace {

// Ahead of ordinary programs, behind the system's own.
constexpr int kRaisedNice = -10;

std::string WithSlash(std::string folder)
{
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

// Where the single-instance lock lives: the profile, else the user's runtime folder.
std::string LockFolder(const StartupOptions& options, const std::string& workingFolder)
{
    if (!options.profileDir.empty()) return options.profileDir;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? workingFolder : runtime.toStdString();
}

// SIGINT, SIGTERM and SIGHUP end the program as its own exit does, so that what it set up
// outside itself (the router's port mapping) is removed. The handler only writes a byte.
int g_signalPipe[2] = {-1, -1};

void OnTerminatingSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(g_signalPipe[1], &byte, 1);
}

void InstallTerminatingSignals(const std::function<void()>& onSignal)
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [onSignal] {
        char byte = 0;
        while (read(g_signalPipe[0], &byte, 1) == 1) {}
        onSignal();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminatingSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// The interface texts are written in Japanese; another language comes from its translation,
// built into the assets' "translations/" folder. Qt's own dialogs follow the same language.
void InstallTranslations(const std::string& language, const std::string& assetsFolder, QTranslator& own,
                         QTranslator& qt)
{
    const QLocale locale(QString::fromStdString(language));
    if (qt.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&qt);
    }
    if (language == "ja") return;
    const QString folder = QString::fromStdString(assetsFolder) + QStringLiteral("translations");
    if (own.load(QStringLiteral("morvika_") + QString::fromStdString(language), folder)) {
        QCoreApplication::installTranslator(&own);
    } else {
        MORVIKA_LOG("ERROR CHalvoApp::InitInstance() 翻訳を読み込めない %s %s \n", language.c_str(),
                    folder.toLocal8Bit().constData());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string error;
    const auto options = ParseStartupOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "morvika: %s\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(StartupUsage(), stdout);
        return 0;
    }
    if (options->version) {
        const std::uint32_t v = GetFileVersion(false);
        std::printf("morvika %u.%u.%u.%u\n", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
        return 0;
    }
    if (options->identity) {
        const std::string settings =
            options->profileDir.empty()
                ? AppPaths::DefaultSettingsFile()
                : AppPaths::ProfileSettingsFile(
                      WithSlash(QDir(QString::fromStdString(options->profileDir)).absolutePath().toStdString()));
        CHalvoApp app(settings);
        const std::string fingerprint = app.GetFingerprint();
        if (fingerprint.empty()) {
            std::fputs("morvika: no identity could be read or made beside the settings\n", stderr);
            return 1;
        }
        std::printf("%s\n", fingerprint.c_str());
        return 0;
    }
    // Without a display Qt aborts with a long platform-plugin text; say plainly what to do.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("morvika: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); run it in a desktop "
                   "session, under xvfb-run, or with QT_QPA_PLATFORM=offscreen\n",
                   stderr);
        return 1;
    }
    // A closed control pipe must not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Morvika"));
    QApplication::setOrganizationName(QStringLiteral("OSKEL"));
    // The launcher groups the windows under the desktop entry: Wayland by this name, X11 by
    // the window class "Morvika" (the application name) that the entry's StartupWMClass gives.
    QGuiApplication::setDesktopFileName(QStringLiteral("jp.oskel.Morvika"));

    const bool profile = !options->profileDir.empty();
    const std::string workingFolder =
        WithSlash(profile ? QDir(QString::fromStdString(options->profileDir)).absolutePath().toStdString()
                          : AppPaths::DefaultWorkingFolder());
    // Settings, address book and log hold passwords: the program's folders are the user's alone.
    for (const std::string& folder : AppPaths::OwnFolders(profile ? workingFolder : std::string())) {
        AppPaths::MakePrivateFolder(folder);
    }

    CInstanceLock lock;
    const std::string lockFolder = LockFolder(*options, workingFolder);
    if (!lock.Acquire(lockFolder)) {
        // Another copy runs: its window comes forward, which is the only way back to it on a
        // desktop without a tray.
        CInstanceCall::AskToShow(lockFolder, 3000);
        return 0;
    }

    // A higher priority for the whole program, as far as the system allows; the sound threads
    // ask for more on their own.
    const int priorityRefused = morvika::sound::RaiseProcessPriority(kRaisedNice);

    CHalvoApp app(profile ? AppPaths::ProfileSettingsFile(workingFolder) : AppPaths::DefaultSettingsFile());
    AppPaths::MakePrivateFile(app.SettingsFile());
    app.SetWorkingFolder(workingFolder);
    app.SetTempFolder(profile ? workingFolder + "cache/" : AppPaths::DefaultTempFolder());
    app.SetPlacesDecidedByDesktop(QGuiApplication::platformName() == QStringLiteral("wayland"));
    app.SetWorkAreaProvider([] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (screen == nullptr) return CHalvoApp::kFallbackWorkArea;
        const QRect r = screen->availableGeometry();
        return WindowRect{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
    });

    const std::string logPath = workingFolder + "HalvoLogFile.txt";
    ResetLogFile(logPath.c_str());
    SetLogFilePath(logPath);

    MORVIKA_LOG("LOG   CHalvoApp::InitInstance() Start\n");
    QTranslator ownTranslation;
    QTranslator qtTranslation;
    InstallTranslations(options->language.empty() ? app.GetLanguage() : options->language, app.GetAssetsFolder(),
                        ownTranslation, qtTranslation);
    if (priorityRefused != 0) {
        MORVIKA_LOG("LOG   CHalvoApp::InitInstance() プロセスの優先度を上げられない %d\n", priorityRefused);
    }
    GetVersion(true);
    GetFileVersion(true);
    // Made or read now, before any window: the control channel reports it from the start.
    app.GetIdentity();
    app.DiscoverAddresses();
    MORVIKA_LOG("LOG   CHalvoApp::init()  Init Ok \n");

    CUserInformation hostRecord;
    CUserInformation clientRecord;
    int result = 0;
    {
        MainWindowOptions windowOptions;
        windowOptions.port = options->port;
        windowOptions.startMinimized = options->minimized;
        CHalvoDlg dialog(app, &hostRecord, &clientRecord, windowOptions);
        // The control channel comes first, so that it can drive the first-start wizard too.
        std::unique_ptr<CHalvoControl> control;
        if (options->control) control = std::make_unique<CHalvoControl>(dialog, 0, stdout);

        CInstanceCall call;
        call.Listen(lockFolder, [&dialog] {
            if (dialog.IsReady()) dialog.ShowMain(1);
        });

        if (app.GetInitState() == 0) CHalvoDlg::RunSetupWizard(app);
        MORVIKA_LOG("LOG   CHalvoApp::InitInstance() Main Start \n");

        // The records take the user name the wizard may just have set.
        hostRecord.SetUserName(app.GetUserName());
        hostRecord.SetVersion(GetFileVersion(false));
        hostRecord.SetAddress(app.IPAddress());
        clientRecord = hostRecord;
        // exit(), not quit(): quit() first asks every window to close, and the chat window only
        // hides when asked, so an open chat window would cancel the exit.
        QObject::connect(
            &dialog, &CHalvoDlg::exitRequested, &application, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        InstallTerminatingSignals([&dialog] {
            if (dialog.IsReady()) {
                dialog.ExitWithoutAsking();
            } else {
                QCoreApplication::exit(0);
            }
        });
        dialog.OnInitDialog();
        if (!options->connectHost.empty()) {
            std::string target = options->connectHost;
            if (options->connectPort != 0) target.append(":").append(std::to_string(options->connectPort));
            dialog.Hub().View()->ConnectTo(target, options->password, options->message);
        }
        result = application.exec();
        control.reset();
    }

    FlushLog();
    MORVIKA_LOG("LOG   CHalvoApp::InitInstance() End \n");
    MORVIKA_LOG("LOG   CHalvoApp::ExitInstance() End\n");
    lock.Release();
    return result;
}
