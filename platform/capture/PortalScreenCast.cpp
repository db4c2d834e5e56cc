#include "platform/capture/PortalScreenCast.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QGuiApplication>

#include <cstring>

namespace morvika::capture {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

constexpr quint32 kSourceMonitor = 1;
constexpr quint32 kSourceWindow = 2;
constexpr quint32 kPersistUntilRevoked = 2;

QDBusMessage PortalCall(const QString& interface, const QString& method)
{
    return QDBusMessage::createMethodCall(kService, kPath, interface, method);
}

// The node id of the first stream of Start's answer, a(ua{sv}); 0 when there is none.
quint32 FirstNode(const QVariant& streams)
{
    if (!streams.canConvert<QDBusArgument>()) return 0;
    const QDBusArgument argument = streams.value<QDBusArgument>();
    quint32 first = 0;
    argument.beginArray();
    while (!argument.atEnd()) {
        quint32 node = 0;
        QVariantMap properties;
        argument.beginStructure();
        argument >> node >> properties;
        argument.endStructure();
        if (first == 0) first = node;
    }
    argument.endArray();
    return first;
}

}  // namespace

struct PortalScreenCast::Stream {
    QDBusUnixFileDescriptor fd;  // the PipeWire remote; pipewiresrc works on a copy
    GstElement* pipeline = nullptr;
    GstElement* sink = nullptr;
    CapturedImage last;

    ~Stream()
    {
        if (pipeline != nullptr) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(sink);
            gst_object_unref(pipeline);
        }
    }
};

PortalScreenCast::PortalScreenCast(QObject* parent) : QObject(parent) {}

PortalScreenCast::~PortalScreenCast()
{
    Stop();
}

bool PortalScreenCast::SessionIsWayland()
{
    if (QGuiApplication::platformName() == QStringLiteral("wayland")) return true;
    // Under XWayland the X11 capture sees none of the native windows.
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland") ||
           !qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty();
}

bool PortalScreenCast::Running() const
{
    std::lock_guard guard(m_streamLock);
    return m_stream != nullptr;
}

bool PortalScreenCast::Start(const QString& restoreToken, Done done)
{
    if (m_pending || Running()) return false;
    m_pending = true;
    m_done = std::move(done);
    m_offeredToken = restoreToken;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        Finish(Outcome::Unavailable, QStringLiteral("no D-Bus session bus"));
        return true;
    }
    // Which sources the portal offers tells whether it is there at all.
    QDBusMessage getAll = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    getAll << kScreenCast;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(getAll), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QVariantMap> reply = *call;
        if (!m_pending) return;
        if (reply.isError() || !reply.value().contains(QStringLiteral("version"))) {
            Finish(Outcome::Unavailable, reply.error().message());
            return;
        }
        const QVariantMap properties = reply.value();
        m_version = properties.value(QStringLiteral("version")).toUInt();
        const quint32 types = properties.value(QStringLiteral("AvailableSourceTypes")).toUInt();
        m_sourceTypes = (types & kSourceWindow) != 0 ? kSourceWindow : kSourceMonitor;
        QVariantMap options;
        options.insert(QStringLiteral("session_handle_token"), QStringLiteral("morvika%1").arg(++m_tokenCounter));
        Request(Step::CreateSession, QStringLiteral("CreateSession"), {}, options);
    });
    return true;
}

void PortalScreenCast::Request(Step step, const QString& method, const QList<QVariant>& arguments, QVariantMap options)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString token = QStringLiteral("morvika%1").arg(++m_tokenCounter);
    options.insert(QStringLiteral("handle_token"), token);
    // The answer comes as a signal on a request object whose path is known in advance:
    // listening before calling misses no answer.
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    m_requestPath = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    bus.connect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this, SLOT(OnResponse(QDBusMessage)));
    m_step = step;

    QDBusMessage call = PortalCall(kScreenCast, method);
    QList<QVariant> all = arguments;
    all << options;
    call.setArguments(all);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher* pending) {
        pending->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *pending;
        if (!m_pending) return;
        if (reply.isError()) {
            Finish(Outcome::Failed, method + QStringLiteral(": ") + reply.error().message());
            return;
        }
        const QString path = reply.value().path();
        if (path != m_requestPath) {
            // An older portal chose its own path.
            QDBusConnection::sessionBus().disconnect(kService, m_requestPath, kRequest, QStringLiteral("Response"),
                                                     this, SLOT(OnResponse(QDBusMessage)));
            m_requestPath = path;
            QDBusConnection::sessionBus().connect(kService, path, kRequest, QStringLiteral("Response"), this,
                                                  SLOT(OnResponse(QDBusMessage)));
        }
    });
}

void PortalScreenCast::OnResponse(const QDBusMessage& message)
{
    if (message.path() != m_requestPath || !m_pending) return;
    QDBusConnection::sessionBus().disconnect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                                             SLOT(OnResponse(QDBusMessage)));
    const QList<QVariant> arguments = message.arguments();
    const quint32 response = arguments.value(0).toUInt();
    const QVariantMap results = qdbus_cast<QVariantMap>(arguments.value(1));
    if (response == 1) {
        Finish(Outcome::Refused, QString());
        return;
    }
    if (response != 0) {
        static const char* const kSteps[] = {"", "CreateSession", "SelectSources", "Start"};
        Finish(Outcome::Failed, QStringLiteral("%1: the portal ended the request (%2)")
                                    .arg(QLatin1String(kSteps[static_cast<int>(m_step)]))
                                    .arg(response));
        return;
    }
    switch (m_step) {
    case Step::CreateSession: {
        m_sessionPath = results.value(QStringLiteral("session_handle")).toString();
        if (m_sessionPath.isEmpty()) {
            Finish(Outcome::Failed, QStringLiteral("no session handle"));
            return;
        }
        QDBusConnection::sessionBus().connect(kService, m_sessionPath, kSession, QStringLiteral("Closed"), this,
                                              SLOT(OnSessionClosed()));
        QVariantMap options;
        options.insert(QStringLiteral("types"), m_sourceTypes);
        options.insert(QStringLiteral("multiple"), false);
        if (m_version >= 4) {
            options.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
            if (!m_offeredToken.isEmpty()) options.insert(QStringLiteral("restore_token"), m_offeredToken);
        }
        if (m_offeredToken.isEmpty() || m_version < 4) ++m_choicesAsked;
        Request(Step::SelectSources, QStringLiteral("SelectSources"),
                {QVariant::fromValue(QDBusObjectPath(m_sessionPath))}, options);
        break;
    }
    case Step::SelectSources:
        Request(Step::Start, QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(m_sessionPath)), QString()},
                {});
        break;
    case Step::Start: {
        const QString token = results.value(QStringLiteral("restore_token")).toString();
        if (!token.isEmpty()) m_restoreToken = token;
        const quint32 node = FirstNode(results.value(QStringLiteral("streams")));
        if (node == 0) {
            Finish(Outcome::Failed, QStringLiteral("the portal gave no stream"));
            return;
        }
        OpenRemote(node);
        break;
    }
    case Step::None: break;
    }
}

void PortalScreenCast::OpenRemote(quint32 node)
{
    m_step = Step::None;
    QDBusMessage call = PortalCall(kScreenCast, QStringLiteral("OpenPipeWireRemote"));
    call << QVariant::fromValue(QDBusObjectPath(m_sessionPath)) << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, node](QDBusPendingCallWatcher* pending) {
        pending->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *pending;
        if (!m_pending) return;
        if (reply.isError() || !reply.value().isValid()) {
            Finish(Outcome::Failed, QStringLiteral("OpenPipeWireRemote: ") + reply.error().message());
            return;
        }
        if (!gst_init_check(nullptr, nullptr, nullptr)) {
            Finish(Outcome::Failed, QStringLiteral("GStreamer cannot start"));
            return;
        }
        auto stream = std::make_unique<Stream>();
        stream->fd = reply.value();
        // Pictures come only when the source changes; the newest one waits in the sink.
        const QByteArray description =
            QStringLiteral("pipewiresrc fd=%1 path=%2 always-copy=true ! videoconvert ! video/x-raw,format=BGRx ! "
                           "appsink name=sink max-buffers=1 drop=true sync=false emit-signals=false")
                .arg(stream->fd.fileDescriptor())
                .arg(node)
                .toUtf8();
        GError* error = nullptr;
        stream->pipeline = gst_parse_launch(description.constData(), &error);
        if (stream->pipeline == nullptr || error != nullptr) {
            const QString why = error != nullptr ? QString::fromUtf8(error->message) : QStringLiteral("no pipeline");
            if (error != nullptr) g_error_free(error);
            if (stream->pipeline != nullptr) gst_object_unref(stream->pipeline);
            stream->pipeline = nullptr;
            Finish(Outcome::Failed, QStringLiteral("PipeWire stream (gstreamer1.0-pipewire): ") + why);
            return;
        }
        stream->sink = gst_bin_get_by_name(GST_BIN(stream->pipeline), "sink");
        if (gst_element_set_state(stream->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            Finish(Outcome::Failed, QStringLiteral("the PipeWire stream does not start"));
            return;
        }
        {
            std::lock_guard guard(m_streamLock);
            m_stream = std::move(stream);
        }
        Finish(Outcome::Started, QString());
    });
}

void PortalScreenCast::Finish(Outcome outcome, const QString& detail)
{
    m_pending = false;
    m_step = Step::None;
    if (outcome != Outcome::Started) CloseSession();
    Done done = std::move(m_done);
    m_done = nullptr;
    if (done) done(outcome, detail);
}

void PortalScreenCast::OnSessionClosed()
{
    // The desktop ended the sharing (its own stop button, say).
    m_sessionPath.clear();
    Stop();
    if (m_onEnded) m_onEnded();
}

void PortalScreenCast::CloseSession()
{
    if (m_sessionPath.isEmpty()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kService, m_sessionPath, kSession, QStringLiteral("Closed"), this, SLOT(OnSessionClosed()));
    QDBusMessage close = QDBusMessage::createMethodCall(kService, m_sessionPath, kSession, QStringLiteral("Close"));
    bus.asyncCall(close);
    m_sessionPath.clear();
}

void PortalScreenCast::Stop()
{
    if (m_pending) {
        QDBusConnection::sessionBus().disconnect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                                                 SLOT(OnResponse(QDBusMessage)));
        m_pending = false;
        m_done = nullptr;
    }
    std::unique_ptr<Stream> stream;
    {
        std::lock_guard guard(m_streamLock);
        stream = std::move(m_stream);
    }
    stream.reset();
    CloseSession();
}

bool PortalScreenCast::LatestFrame(CapturedImage& image)
{
    std::lock_guard guard(m_streamLock);
    if (m_stream == nullptr) return false;
    Stream& stream = *m_stream;
    if (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(stream.sink), 0)) {
        GstVideoInfo info;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer != nullptr && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
            gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const int width = GST_VIDEO_INFO_WIDTH(&info);
            const int height = GST_VIDEO_INFO_HEIGHT(&info);
            const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
            const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
            if (width > 0 && height > 0 && map.size >= bytes) {
                stream.last.width = width;
                stream.last.height = height;
                stream.last.stride = stride;
                stream.last.bits.assign(map.data, map.data + bytes);
            }
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    if (stream.last.width <= 0) return false;
    image.width = stream.last.width;
    image.height = stream.last.height;
    image.stride = stream.last.stride;
    image.bits.assign(stream.last.bits.begin(), stream.last.bits.end());
    return true;
}

}  // namespace morvika::capture
