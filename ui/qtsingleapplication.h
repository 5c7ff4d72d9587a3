#pragma once

#include <QApplication>
#include <QPointer>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QWidget;

// An application object that knows whether another copy with the same id already runs for this
// user, passes it a text message, and brings a chosen window forward when a message arrives.
class QtSingleApplication : public QApplication
{
    Q_OBJECT

public:
    QtSingleApplication(const QString &id, int &argc, char **argv);
    ~QtSingleApplication() override;

    // True when another copy owns the id. The first call decides; a copy that finds none starts
    // listening for messages from later copies.
    bool isRunning();
    QString id() const;

    void setActivationWindow(QWidget *window, bool activateOnMessage = true);
    QWidget *activationWindow() const;

public slots:
    // Delivers message to the running copy; false when there is none or it did not answer
    // within timeout milliseconds.
    bool sendMessage(const QString &message, int timeout = 5000);
    void activateWindow();

signals:
    void messageReceived(const QString &message);

private:
    void acceptConnections();
    void readMessage(QLocalSocket *socket);

    QString m_id;
    QString m_serverName;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    bool m_checked = false;
    bool m_otherRunning = false;
    QPointer<QWidget> m_activationWindow;
};
