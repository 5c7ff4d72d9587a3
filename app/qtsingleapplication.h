#pragma once

#include <QApplication>

class QWidget;

class QtSingleApplication : public QApplication
{
    Q_OBJECT

public:
    QtSingleApplication(const QString &id, int &argc, char **argv);

    bool isRunning();
    bool sendMessage(const QString &message, int timeout = 5000);
    void setActivationWindow(QWidget *window, bool activateOnMessage = true);

signals:
    void messageReceived(const QString &message);
};
