#pragma once
// Pictures of what the user picks in the desktop's ScreenCast portal (xdg-desktop-portal over
// D-Bus): a window, or a whole screen where the portal offers only screens. The portal hands
// over a PipeWire stream, read here with GStreamer's pipewiresrc. The object lives on the
// thread of Qt's event loop, which delivers the portal's answers; LatestFrame may be called
// from any thread.

#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

#include "platform/capture/WindowCapture.h"

namespace morvika::capture {

class PortalScreenCast : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        Started,      // the stream runs
        Refused,      // the user cancelled the portal's dialog
        Unavailable,  // no ScreenCast portal on the session bus
        Failed,       // the portal or PipeWire failed; the detail says how
    };
    using Done = std::function<void(Outcome outcome, const QString& detail)>;

    explicit PortalScreenCast(QObject* parent = nullptr);
    ~PortalScreenCast() override;

    // True in a Wayland session, where only the portal can show other programs' windows.
    static bool SessionIsWayland();

    // Asks the portal for a source, passing the token of an earlier choice when there is one
    // (then the portal need not ask again), and starts the stream. `done` is called once,
    // on this object's thread. False when a request is already under way or the stream runs.
    bool Start(const QString& restoreToken, Done done);
    // Ends the stream and the portal's session.
    void Stop();
    bool Running() const;
    bool Pending() const { return m_pending; }
    // The portal's token for the last choice (empty when it gave none).
    const QString& RestoreToken() const { return m_restoreToken; }
    // How many times the portal was asked without a token of an earlier choice.
    int ChoicesAsked() const { return m_choicesAsked; }

    // Called when the desktop ends the stream by itself (its own stop button, say).
    void SetOnEnded(std::function<void()> ended) { m_onEnded = std::move(ended); }

    // Copies the newest picture of the stream; false when none has come yet.
    bool LatestFrame(CapturedImage& image);

private slots:
    void OnResponse(const QDBusMessage& message);
    void OnSessionClosed();

private:
    enum class Step { None, CreateSession, SelectSources, Start };
    struct Stream;

    void Request(Step step, const QString& method, const QList<QVariant>& arguments, QVariantMap options);
    void Finish(Outcome outcome, const QString& detail);
    void OpenRemote(quint32 node);
    void CloseSession();

    Step m_step = Step::None;
    bool m_pending = false;
    QString m_requestPath;
    QString m_sessionPath;
    QString m_restoreToken;
    QString m_offeredToken;
    int m_choicesAsked = 0;
    unsigned m_tokenCounter = 0;
    quint32 m_version = 0;
    quint32 m_sourceTypes = 0;
    Done m_done;
    std::function<void()> m_onEnded;
    mutable std::mutex m_streamLock;
    std::unique_ptr<Stream> m_stream;  // guarded by m_streamLock
};

}  // namespace morvika::capture
