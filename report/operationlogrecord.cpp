#include "report/operationlogrecord.h"

#include "core/channelmanager.h"
#include "core/product.h"
#include "report/machineid.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

OperationLogRecord::OperationLogRecord(const QString &btnId)
    : phoneId(g_channelId)
    // Empty, not null: the server expects "" for these members.
    , phoneMaker(QLatin1String(""))
    , phoneModel(QLatin1String(""))
    , phoneOsVersion(QLatin1String(""))
    , apkChannel(g_channelName)
    , apkId(Product::apkId)
    , apkVersionName(QString::fromLatin1(Product::version))
    , btnId(btnId)
    , pcId(getMachineId())
{
    qDebug() << "phoneId" << phoneId << "pcId" << pcId;
}

QString OperationLogRecord::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("phoneId"), phoneId);
    object.insert(QStringLiteral("phoneMaker"), phoneMaker);
    object.insert(QStringLiteral("phoneModel"), phoneModel);
    object.insert(QStringLiteral("phoneOs"), phoneOs);
    object.insert(QStringLiteral("phoneOsVersion"), phoneOsVersion);
    object.insert(QStringLiteral("apkChannel"), apkChannel);
    object.insert(QStringLiteral("apkId"), apkId);
    object.insert(QStringLiteral("apkVersionCode"), apkVersionCode);
    object.insert(QStringLiteral("apkVersionName"), apkVersionName);
    object.insert(QStringLiteral("type"), type);
    object.insert(QStringLiteral("btnId"), btnId);
    object.insert(QStringLiteral("pcId"), pcId);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
