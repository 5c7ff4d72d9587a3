#include "report/operationlog.h"

#include "report/operationlogrecord.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

// A server that has not taken a record within this long, however it dribbles its answer, does
// not hold back the records after it.
constexpr int recordTimeoutMs = 10000;

} // namespace

OperationLog::OperationLog(QObject *parent)
    : QObject(parent)
    , networkManager(new QNetworkAccessManager(this))
{}

OperationLog::~OperationLog() = default;

void OperationLog::send(const QString &serverUrl, const QString &btnId)
{
    qDebug() << serverUrl;
    const OperationLogRecord record(btnId);
    pending.enqueue({serverUrl + QStringLiteral("/v1/operationLog"), record.toJson().toUtf8()});
    if (!current)
        postNext();
    // The log texts, misspellings included, are kept as they stand: support reads them.
    qDebug() << "opration log: " << btnId;
}

void OperationLog::postNext()
{
    if (pending.isEmpty()) {
        emit allPosted();
        return;
    }
    const Post post = pending.dequeue();
    QNetworkRequest request(QUrl(post.url, QUrl::TolerantMode));
    request.setRawHeader("Content-Type", "application/json;charset=utf-8");
    // Fire and forget: nobody reads the answer; each reply goes once it is done, and its end,
    // good or bad, lets the next record go.
    current = networkManager->post(request, post.body);
    // The whole transfer is bounded, not only its silences: a byte now and then never ends it.
    QTimer::singleShot(recordTimeoutMs, current, &QNetworkReply::abort);
    connect(current, &QNetworkReply::finished, this, [this] {
        current->deleteLater();
        current = nullptr;
        postNext();
    });
}

bool OperationLog::waitForPending(int timeoutMs)
{
    if (!current)
        return true;
    QEventLoop loop;
    connect(this, &OperationLog::allPosted, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return !current;
}
