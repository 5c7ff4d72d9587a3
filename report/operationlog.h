#pragma once

#include <QString>

class QNetworkAccessManager;
class QObject;

// Posts one operation-log record for btnId to serverUrl + "/v1/operationLog", fire and forget.
// manager is created on the first report, with managerParent as its parent, and reused after.
void postOperationLog(QNetworkAccessManager *&manager, QObject *managerParent,
                      const QString &serverUrl, const QString &btnId);
