#include "report/operationlog.h"

#include "report/operationlogrecord.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

void postOperationLog(QNetworkAccessManager *&manager, QObject *managerParent,
                      const QString &serverUrl, const QString &btnId)
{
    if (!manager)
        manager = new QNetworkAccessManager(managerParent);
    qDebug() << serverUrl;

    QNetworkRequest request(
        QUrl(serverUrl + QStringLiteral("/v1/operationLog"), QUrl::TolerantMode));
    request.setRawHeader("Content-Type", "application/json;charset=utf-8");

    const OperationLogRecord record(btnId);
    const QByteArray body = record.toJson().toUtf8();

    // Fire and forget: nobody reads the answer, so each reply goes once it is done and a long
    // run keeps none of them.
    QNetworkReply *reply = manager->post(request, body);
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);

    qDebug() << "opration log: " << btnId;
}
