#pragma once

#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Posts the operation-log records of a run to serverUrl + "/v1/operationLog", one after another
// in the order they were sent, so the server sees the run as it happened. Nothing in the
// installer's flow waits for them, except the very end of the run.
class OperationLog : public QObject
{
    Q_OBJECT

public:
    explicit OperationLog(QObject *parent = nullptr);
    ~OperationLog() override;

    // Builds the record for btnId now and posts it once the records before it are answered.
    void send(const QString &serverUrl, const QString &btnId);

    // Turns the event loop, without user input, until every record sent so far is answered or
    // has failed, at most timeoutMs; false when some are still pending.
    bool waitForPending(int timeoutMs);

signals:
    void allPosted();

private:
    struct Post
    {
        QString url;
        QByteArray body;
    };

    void postNext();

    QNetworkAccessManager *networkManager;
    QQueue<Post> pending;
    QNetworkReply *current = nullptr;
};
