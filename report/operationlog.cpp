#include "report/operationlog.h"

void postOperationLog(QNetworkAccessManager *&manager, QObject *managerParent,
                      const QString &serverUrl, const QString &btnId)
{
    Q_UNUSED(manager)
    Q_UNUSED(managerParent)
    Q_UNUSED(serverUrl)
    Q_UNUSED(btnId)
}
