#include "app/qtsingleapplication.h"

#include <QProcess>
#include <QSocketNotifier>
#include <QUuid>
#include <QWidget>
#include <QtTest>

#include <cstdio>
#include <memory>

namespace {

// Child mode: --peer ID MESSAGE TIMEOUT. Prints "first" (and then holds the id until its
// standard input closes), or "sent"/"unsent" after passing MESSAGE to the copy that runs.
const char peerOption[] = "--peer";

int runPeer(int argc, char **argv)
{
    const QString id = QString::fromUtf8(argv[2]);
    const QString message = QString::fromUtf8(argv[3]);
    const int timeout = QByteArray(argv[4]).toInt();
    QtSingleApplication app(id, argc, argv);
    if (app.isRunning()) {
        const bool sent = app.sendMessage(message, timeout);
        std::puts(sent ? "sent" : "unsent");
        return 0;
    }
    std::puts("first");
    std::fflush(stdout);
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
        char buffer[64];
        if (::fread(buffer, 1, 1, stdin) == 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return app.exec();
}

QString testId;

struct Peer
{
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();

    void start(const QString &id, const QString &message = QStringLiteral("hello"),
               int timeout = 30000)
    {
        process->start(QCoreApplication::applicationFilePath(),
                       {QLatin1String(peerOption), id, message, QString::number(timeout)});
    }
    // The first line it prints, waiting (with the event loop running) until it comes.
    QString answer()
    {
        QTRY_LOOP_IMPL(process->canReadLine() || process->state() == QProcess::NotRunning, 30000,
                       50);
        return QString::fromUtf8(process->readLine()).trimmed();
    }
    bool finish()
    {
        process->closeWriteChannel();
        if (process->state() != QProcess::NotRunning && !process->waitForFinished(30000)) {
            process->kill();
            process->waitForFinished();
            return false;
        }
        return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    }
    ~Peer()
    {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
};

QtSingleApplication *application()
{
    return static_cast<QtSingleApplication *>(QCoreApplication::instance());
}

} // namespace

class tst_singleapplication : public QObject
{
    Q_OBJECT

private slots:
    void firstCopyOwnsTheId();
    void messageReachesRunningCopy_data();
    void messageReachesRunningCopy();
    void activationClearsOnlyMinimised_data();
    void activationClearsOnlyMinimised();
    void messageWithoutActivation();
    void otherIdIsIndependent();
    void copiesStartedTogether();
    void lockOfDeadCopyIsTakenOver();
    void silentCopyDoesNotHangSender();
};

void tst_singleapplication::firstCopyOwnsTheId()
{
    QVERIFY(!application()->isRunning());
    QVERIFY(!application()->isRunning());
    QCOMPARE(application()->id(), testId);
    // Nobody else to talk to.
    QVERIFY(!application()->sendMessage(QStringLiteral("x"), 100));
}

void tst_singleapplication::messageReachesRunningCopy_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("raise") << "raise_window_noop";
    QTest::newRow("empty") << "";
    QTest::newRow("non-ASCII") << "渠道 ü _web01#kvtst-a7f3c";
    QTest::newRow("long") << QString(20000, QLatin1Char('m'));
}

void tst_singleapplication::messageReachesRunningCopy()
{
    QFETCH(QString, message);
    QSignalSpy received(application(), &QtSingleApplication::messageReceived);
    Peer peer;
    peer.start(testId, message);
    QCOMPARE(peer.answer(), QStringLiteral("sent"));
    QVERIFY(peer.finish());
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 30000);
    QCOMPARE(received.at(0).at(0).toString(), message);
}

void tst_singleapplication::activationClearsOnlyMinimised_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::newRow("minimised") << int(Qt::WindowMinimized) << int(Qt::WindowNoState);
    QTest::newRow("minimised from maximised")
        << int(Qt::WindowMinimized | Qt::WindowMaximized) << int(Qt::WindowMaximized);
    QTest::newRow("normal") << int(Qt::WindowNoState) << int(Qt::WindowNoState);
}

void tst_singleapplication::activationClearsOnlyMinimised()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QWidget window;
    window.show();
    window.setWindowState(Qt::WindowStates(before));
    application()->setActivationWindow(&window, true);
    QCOMPARE(application()->activationWindow(), &window);

    QSignalSpy received(application(), &QtSingleApplication::messageReceived);
    // The offscreen platform cannot stack windows; raising is all it declines.
    QTest::ignoreMessage(QtWarningMsg, "This plugin does not support raise()");
    Peer peer;
    peer.start(testId, QStringLiteral("raise_window_noop"));
    QCOMPARE(peer.answer(), QStringLiteral("sent"));
    QVERIFY(peer.finish());
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 30000);
    QCOMPARE(int(window.windowState()), after);
    application()->setActivationWindow(nullptr, false);
}

void tst_singleapplication::messageWithoutActivation()
{
    QWidget window;
    window.show();
    window.setWindowState(Qt::WindowMinimized);
    application()->setActivationWindow(&window, false);

    QSignalSpy received(application(), &QtSingleApplication::messageReceived);
    Peer peer;
    peer.start(testId);
    QCOMPARE(peer.answer(), QStringLiteral("sent"));
    QVERIFY(peer.finish());
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 30000);
    QCOMPARE(window.windowState(), Qt::WindowStates(Qt::WindowMinimized));
    application()->setActivationWindow(nullptr, false);
    // A message after the window is gone finds nothing to raise and does no harm.
    {
        QWidget gone;
        application()->setActivationWindow(&gone, true);
    }
    Peer late;
    late.start(testId);
    QCOMPARE(late.answer(), QStringLiteral("sent"));
    QVERIFY(late.finish());
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 30000);
    QCOMPARE(application()->activationWindow(), nullptr);
    application()->setActivationWindow(nullptr, false);
}

void tst_singleapplication::otherIdIsIndependent()
{
    // Another brand's id: it runs on its own beside this one.
    Peer other;
    other.start(testId + QStringLiteral("-green"));
    QCOMPARE(other.answer(), QStringLiteral("first"));
    QVERIFY(other.finish());
}

void tst_singleapplication::copiesStartedTogether()
{
    const QString id = QStringLiteral("together-") + QUuid::createUuid().toString(QUuid::Id128);
    const int copies = 6;
    std::vector<Peer> peers(copies);
    for (Peer &peer : peers)
        peer.start(id);
    int first = 0;
    int sent = 0;
    for (Peer &peer : peers) {
        const QString answer = peer.answer();
        first += answer == QLatin1String("first");
        sent += answer == QLatin1String("sent");
    }
    QCOMPARE(first, 1);
    QCOMPARE(sent, copies - 1);
    for (Peer &peer : peers)
        QVERIFY(peer.finish());
}

void tst_singleapplication::lockOfDeadCopyIsTakenOver()
{
    const QString id = QStringLiteral("crashed-") + QUuid::createUuid().toString(QUuid::Id128);
    Peer crashed;
    crashed.start(id);
    QCOMPARE(crashed.answer(), QStringLiteral("first"));
    crashed.process->kill();
    QVERIFY(crashed.process->waitForFinished());

    Peer next;
    next.start(id);
    QCOMPARE(next.answer(), QStringLiteral("first"));
    QVERIFY(next.finish());
}

void tst_singleapplication::silentCopyDoesNotHangSender()
{
    // This process owns the id but does not turn its event loop while it waits for the peer, so
    // the peer's message is never answered: the peer gives up after its timeout.
    Peer peer;
    peer.start(testId, QStringLiteral("raise_window_noop"), 500);
    QVERIFY(peer.process->waitForFinished(30000));
    QCOMPARE(peer.process->exitCode(), 0);
    QCOMPARE(QString::fromUtf8(peer.process->readAllStandardOutput()).trimmed(),
             QStringLiteral("unsent"));
    QTest::qWait(50); // let the late connection arrive and go, so no later test sees it
}

int main(int argc, char **argv)
{
    if (argc > 4 && qstrcmp(argv[1], peerOption) == 0)
        return runPeer(argc, argv);
    testId = QStringLiteral("kovra-test-") + QUuid::createUuid().toString(QUuid::Id128);
    QtSingleApplication app(testId, argc, argv);
    tst_singleapplication test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleapplication.moc"
