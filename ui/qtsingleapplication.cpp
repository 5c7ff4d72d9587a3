#include "ui/qtsingleapplication.h"

#include "core/lockfiles.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace {

// Only these reach the running copy, so nobody can make it allocate without bound.
constexpr quint32 maxMessageBytes = 64 * 1024;
// A copy that connects but never finishes its message is dropped after this long.
constexpr int incomingMessageTimeoutMs = 5000;
const QByteArray acknowledgement = QByteArrayLiteral("ack");

// The user's name as the system's session gives it; copies of different users never meet.
QString currentUser()
{
    QString user = qEnvironmentVariable("USERNAME");
    if (user.isEmpty())
        user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = QDir::homePath();
    return user;
}

// A name that is safe as a file name and as a pipe name, readable for the common ids.
QString channelName(const QString &id)
{
    QString readable;
    for (const QChar c : id) {
        if (c.isLetterOrNumber() && c.unicode() < 128)
            readable += c;
        else if (c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.'))
            readable += c;
    }
    const QByteArray key = (id + QLatin1Char('\n') + currentUser()).toUtf8();
    const QByteArray digest = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex();
    return QStringLiteral("qtsingleapp-") + readable.left(40) + QLatin1Char('-') +
           QString::fromLatin1(digest.left(16));
}

} // namespace

QtSingleApplication::QtSingleApplication(const QString &id, int &argc, char **argv)
    : QApplication(argc, argv)
    , m_id(id)
    , m_serverName(channelName(id))
{}

QtSingleApplication::~QtSingleApplication()
{
    // Stop listening before the lock goes, so a later copy never finds a dead listener it owns.
    delete m_server;
    m_server = nullptr;
}

QString QtSingleApplication::id() const
{
    return m_id;
}

bool QtSingleApplication::isRunning()
{
    if (m_checked)
        return m_otherRunning;
    m_checked = true;

    // The lock lives as long as this copy. One that no copy can hold (a folder, another user's
    // file in a shared temporary folder) must not keep every start out for ever: this copy then
    // runs without it, and the download folder's lock still keeps two installs apart. Nor does
    // whatever listens under the name then: in a shared temporary folder that may be anyone.
    const QString lockPath = QDir::temp().absoluteFilePath(m_serverName + QStringLiteral(".lock"));
    LockFiles::Claim claim = LockFiles::take(lockPath);
    m_lock = std::move(claim.lock);
    if (claim.outcome == LockFiles::Claim::Held) {
        m_otherRunning = true;
        return true;
    }
    if (!m_lock)
        qWarning() << "single instance: runs without its lock file" << lockPath;
    else // this copy owns the id: a socket left behind by a copy that died belongs to nobody now
        QLocalServer::removeServer(m_serverName);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &QtSingleApplication::acceptConnections);
    if (!m_server->listen(m_serverName))
        qWarning() << "single instance: cannot listen for other copies:" << m_server->errorString();
    m_otherRunning = false;
    return false;
}

bool QtSingleApplication::sendMessage(const QString &message, int timeout)
{
    if (!isRunning())
        return false;

    // A negative timeout waits without limit, as the socket calls do.
    const QDeadlineTimer deadline(timeout);
    const auto remaining = [&deadline] {
        return int(deadline.remainingTime());
    };
    QLocalSocket socket;
    // The running copy may hold the lock a moment before it listens: try again until the time is
    // up.
    for (;;) {
        socket.connectToServer(m_serverName);
        if (socket.waitForConnected(remaining()))
            break;
        if (deadline.hasExpired())
            return false;
        socket.abort();
        QThread::msleep(remaining() < 0 ? 100 : qMin(remaining(), 100));
    }

    QByteArray frame;
    QDataStream stream(&frame, QIODevice::WriteOnly);
    stream << message.toUtf8();
    if (quint32(frame.size()) > maxMessageBytes + sizeof(quint32)) {
        qWarning() << "single instance: message too long to send";
        return false;
    }
    socket.write(frame);
    while (socket.bytesToWrite() > 0) {
        if (deadline.hasExpired() || !socket.waitForBytesWritten(remaining()))
            return false;
    }
    while (socket.bytesAvailable() < acknowledgement.size()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(remaining()))
            return false;
    }
    const bool acknowledged = socket.read(acknowledgement.size()) == acknowledgement;
    socket.disconnectFromServer();
    return acknowledged;
}

void QtSingleApplication::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
        QTimer::singleShot(incomingMessageTimeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        readMessage(socket);
    }
}

void QtSingleApplication::readMessage(QLocalSocket *socket)
{
    if (socket->bytesAvailable() < qint64(sizeof(quint32)))
        return;
    QDataStream header(socket->peek(sizeof(quint32)));
    quint32 length = 0;
    header >> length;
    if (length == 0xffffffffu)
        length = 0; // a null text
    if (length > maxMessageBytes) {
        qWarning() << "single instance: dropped an oversized message from another copy";
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (socket->bytesAvailable() < qint64(sizeof(quint32) + length))
        return;
    socket->read(sizeof(quint32));
    const QString message = QString::fromUtf8(socket->read(length));
    // One message per connection: later bytes are not read.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    socket->write(acknowledgement);
    socket->flush();
    emit messageReceived(message);
}

void QtSingleApplication::setActivationWindow(QWidget *window, bool activateOnMessage)
{
    m_activationWindow = window;
    if (activateOnMessage)
        connect(this, &QtSingleApplication::messageReceived, this,
                &QtSingleApplication::activateWindow, Qt::UniqueConnection);
    else
        disconnect(this, &QtSingleApplication::messageReceived, this,
                   &QtSingleApplication::activateWindow);
}

QWidget *QtSingleApplication::activationWindow() const
{
    return m_activationWindow;
}

void QtSingleApplication::activateWindow()
{
    if (!m_activationWindow)
        return;
    // Only the minimised state goes: a maximised window comes back maximised.
    m_activationWindow->setWindowState(m_activationWindow->windowState() & ~Qt::WindowMinimized);
    m_activationWindow->raise();
    m_activationWindow->activateWindow();
}
