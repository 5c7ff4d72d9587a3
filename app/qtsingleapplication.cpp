#include "app/qtsingleapplication.h"

QtSingleApplication::QtSingleApplication(const QString &id, int &argc, char **argv)
    : QApplication(argc, argv)
{
    Q_UNUSED(id)
}

bool QtSingleApplication::isRunning()
{
    return false;
}

bool QtSingleApplication::sendMessage(const QString &message, int timeout)
{
    Q_UNUSED(message)
    Q_UNUSED(timeout)
    return false;
}

void QtSingleApplication::setActivationWindow(QWidget *window, bool activateOnMessage)
{
    Q_UNUSED(window)
    Q_UNUSED(activateOnMessage)
}
