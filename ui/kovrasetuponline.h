#pragma once

#include "ui_kovrasetuponline.h"

#include <QMap>
#include <QPoint>
#include <QString>
#include <QWidget>

class InstallThread;
class QCloseEvent;
class QEvent;
class QMouseEvent;
class OperationLog;
class TaskThread;

// The installer's only window: a frameless wizard with the custom-install page, the progress
// page with its slideshow, and the finished page.
class kovraSetupOnline : public QWidget
{
    Q_OBJECT

public:
    // What the worker threads are doing; decides the progress arithmetic and the close question.
    enum Phase {
        Downloading = 0,
        Installing = 1,
        Installed = 2,
    };
    // The pages of the main page stack.
    enum Page {
        QuickInstallPage = 0,
        CustomInstallPage = 1,
        ProgressPage = 2,
        FinishedPage = 3,
    };

    explicit kovraSetupOnline(QWidget *parent = nullptr);
    ~kovraSetupOnline() override;

    // Takes the command-line channel: fills the channel globals and may switch to the test server.
    void setChannel(QString argument);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private slots:
    void on_pushButton_3_clicked();
    void on_btnDir_clicked();
    void installProgress(double per);
    void installSuccess();
    void installFailed(int code);
    void updateProgress(double per);
    void updateSuccess(QString temppath);
    void updateFailed(int code);
    void changePage();

private:
    void applyAlternativeBrand();
    void setUpWorkers();
    void sendOperationLog(QString btnId);

    // Install location and free space.
    void scanDrives();
    double driveSpaceGB(QString path);
    void checkDriveSpace(QString drive);

    // Progress and results.
    void takeProgress(double per);
    void showProgress(int p);
    [[noreturn]] void startProduct();

    // Click handling.
    void askToClose();
    void startInstall();
    void toggleAgreement();

    Ui::kovraSetupOnlineClass ui;

    QPoint dragOffset;
    QMap<QString, QString> driveFreeText;
    QMap<QString, quint64> driveFreeBytes;
    QString installDir;
    QString installRoot;
    InstallThread *installThread = nullptr;
    TaskThread *taskThread = nullptr;
    bool agreementChecked = true;
    Phase phase = Downloading;
    bool dragging = false;
    // The last install found the product running from the earlier installation.
    bool productRunning = false;
    int slideIndex = 0;
    OperationLog *operationLog = nullptr;
    QString serverUrl;
    QString packageUrl;
};
