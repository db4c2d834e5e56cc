#include "app/InstanceCall.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace {

constexpr char kShowRequest[] = "show\n";
constexpr char kAnswer[] = "ok\n";
// Nothing longer is asked; a caller sending more is cut off.
constexpr qint64 kMaxRequest = 64;

}  // namespace

CInstanceCall::CInstanceCall(QObject* parent) : QObject(parent) {}

CInstanceCall::~CInstanceCall()
{
    if (m_pServer != nullptr) m_pServer->close();
}

std::string CInstanceCall::SocketPath(const std::string& dir)
{
    return (dir.empty() ? std::string(".") : dir) + "/Halvo.sock";
}

bool CInstanceCall::Listen(const std::string& dir, std::function<void()> onShow)
{
    m_onShow = std::move(onShow);
    const QString path = QString::fromStdString(SocketPath(dir));
    m_pServer = new QLocalServer(this);
    // The user's own processes only, as the lock's folder is.
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock is ours: a socket file still there is a crashed run's.
    QLocalServer::removeServer(path);
    if (!m_pServer->listen(path)) return false;
    connect(m_pServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                const QByteArray request = socket->read(kMaxRequest);
                if (request.startsWith(kShowRequest) && m_onShow) m_onShow();
                socket->write(kAnswer);
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}

bool CInstanceCall::AskToShow(const std::string& dir, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(SocketPath(dir)));
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kShowRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    return socket.waitForReadyRead(timeoutMs) && socket.readAll().startsWith(kAnswer);
}
