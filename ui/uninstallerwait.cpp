#include "ui/uninstallerwait.h"

#include "platform/platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QProgressDialog>
#include <QTimer>

namespace {

// Long enough for an uninstaller that asks its own questions.
constexpr int waitLimitSeconds = 300;
// An uninstaller that has ended by then shows no box at all.
constexpr int quietMs = 500;

} // namespace

void runPreviousUninstaller(const QString &storedCommand)
{
    const QString program = Platform::uninstallProgram(storedCommand);
    qDebug() << program;
    // The stored command is one path, blanks included ("Program Files"): never split it.
    QProcess uninstaller;
    uninstaller.setProgram(program);
    uninstaller.start(QIODevice::ReadWrite);
    // Nothing is ever typed in: an uninstaller that reads its input gets end of input.
    uninstaller.closeWriteChannel();
    // One that cannot start lets start-up go on at once.
    if (!uninstaller.waitForStarted())
        return;

    //: %1 is a number of minutes
    QProgressDialog box(QObject::tr("language15").arg(waitLimitSeconds / 60),
                        QObject::tr("language16"), 0, waitLimitSeconds);
    box.setWindowTitle(QObject::tr("language2"));
    box.setMinimumDuration(quietMs);
    QEventLoop loop;
    QObject::connect(&uninstaller, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     &loop, &QEventLoop::quit);
    // The button, Escape and a system close all go on at once.
    QObject::connect(&box, &QProgressDialog::canceled, &loop, &QEventLoop::quit);
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    QElapsedTimer waited;
    waited.start();
    QTimer clock;
    QObject::connect(&clock, &QTimer::timeout, &loop, [&] {
        const int seconds = int(waited.elapsed() / 1000);
        box.setValue(qMin(seconds, waitLimitSeconds));
        if (seconds >= waitLimitSeconds)
            loop.quit();
    });
    clock.start(1000);
    loop.exec();
    if (uninstaller.state() != QProcess::NotRunning) {
        qDebug() << "the uninstaller did not end; ended after" << waited.elapsed() / 1000 << "s";
        uninstaller.kill();
        uninstaller.waitForFinished(5000);
    }
}
