#include "ui/uninstallerwait.h"

#include "platform/platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>

namespace {

// Long enough for an uninstaller that asks its own questions.
constexpr int waitLimitSeconds = 300;
// An uninstaller that has ended by then shows no box at all.
constexpr int quietMs = 500;
// How often the box asks whether the uninstaller and what it started have ended.
constexpr int checkMs = 100;

} // namespace

void runPreviousUninstaller(const QString &storedCommand)
{
    const QString program = Platform::uninstallProgram(storedCommand);
    qDebug() << program;
    // The stored command is one path, blanks included ("Program Files"): never split it. What it
    // starts is waited for too: an uninstaller that hands its work to a copy of itself ends at
    // once, and the copy would remove what this install places meanwhile.
    Platform::ProcessTree uninstaller;
    // One that cannot start lets start-up go on at once.
    if (!uninstaller.start(program))
        return;

    //: %1 is a number of minutes
    QProgressDialog box(QObject::tr("language15").arg(waitLimitSeconds / 60),
                        QObject::tr("language16"), 0, waitLimitSeconds);
    box.setWindowTitle(QObject::tr("language2"));
    box.setMinimumDuration(quietMs);
    QEventLoop loop;
    // The button, Escape and a system close all go on at once.
    QObject::connect(&box, &QProgressDialog::canceled, &loop, &QEventLoop::quit);
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    QElapsedTimer waited;
    waited.start();
    QTimer clock;
    QObject::connect(&clock, &QTimer::timeout, &loop, [&] {
        const int seconds = int(waited.elapsed() / 1000);
        box.setValue(qMin(seconds, waitLimitSeconds));
        if (seconds >= waitLimitSeconds || !uninstaller.isRunning())
            loop.quit();
    });
    clock.start(checkMs);
    loop.exec();
    if (uninstaller.isRunning()) {
        qDebug() << "the uninstaller did not end; ended after" << waited.elapsed() / 1000 << "s";
        uninstaller.kill();
    }
}
