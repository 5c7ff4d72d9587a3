#include "ui/qtsingleapplication.h"

#include <QSocketNotifier>
#include <QUuid>
#include <QtTest>

#include <cstdio>
#include <deque>

namespace {

// A copy of the installer: --peer ID MESSAGE AT. At AT (ms since the epoch, so that copies ask at
// once) it asks whether another runs. The one that runs prints "first", then "got <message>" for
// each message until its input closes; another hands MESSAGE over and prints "sent" or "unsent".
int runPeer(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line reaches the test at once
    QtSingleApplication app(QString::fromUtf8(argv[2]), argc, argv);
    QThread::msleep(qBound(
        0LL, QByteArray(argv[4]).toLongLong() - QDateTime::currentMSecsSinceEpoch(), 9999LL));
    if (app.isRunning()) {
        std::puts(app.sendMessage(QString::fromUtf8(argv[3]), 20000) ? "sent" : "unsent");
        return 0;
    }
    std::puts("first");
    QObject::connect(&app, &QtSingleApplication::messageReceived,
                     [](const QString &message) { std::puts(qUtf8Printable("got " + message)); });
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&app] {
        char c;
        if (std::fread(&c, 1, 1, stdin) == 0)
            app.quit();
    });
    return app.exec();
}

struct Peer : QProcess
{
    Peer(const QString &id, const QString &message = "hello", qint64 at = 0)
    {
        start(QCoreApplication::applicationFilePath(),
              {"--peer", id, message, QString::number(at)});
    }
    ~Peer() override
    {
        closeWriteChannel(); // the running copy ends; QProcess kills one that hangs
        waitForFinished(30000);
    }
    // The next line it prints, the event loop turning until it comes.
    QString line()
    {
        QTRY_LOOP_IMPL(canReadLine() || state() == NotRunning, 30000, 50);
        return QString::fromUtf8(readLine()).trimmed();
    }
};

} // namespace

class tst_singleapplication : public QObject
{
    Q_OBJECT

private slots:
    // Copies started at once: one runs and gets the others' messages. Once it is killed, its
    // lock and socket left behind, the next copy runs and listens.
    void oneCopyRunsAtATime()
    {
        const QString id = QUuid::createUuid().toString();
        std::deque<Peer> peers;
        const qint64 at = QDateTime::currentMSecsSinceEpoch() + 1000; // all started by then
        for (int i = 0; i < 6; ++i)
            peers.emplace_back(id, QStringLiteral("copy %1 渠道").arg(i), at);
        QStringList answers, received, expected;
        for (int i = 0; i < 6; ++i) {
            answers << peers[i].line();
            expected << QStringLiteral("got copy %1 渠道").arg(i);
        }
        QCOMPARE(answers.count("first"), 1);
        QCOMPARE(answers.count("sent"), 5);
        const int first = answers.indexOf("first");
        expected.removeAt(first);
        while (received.size() < 5)
            received << peers[first].line();
        received.sort(); // they arrive in any order
        QCOMPARE(received, expected);

        peers[first].kill();
        peers.clear();
        Peer next(id);
        QCOMPARE(next.line(), QStringLiteral("first"));
        QCOMPARE(Peer(id, QStringLiteral("after")).line(), QStringLiteral("sent"));
        QCOMPARE(next.line(), QStringLiteral("got after"));
    }
};

int main(int argc, char **argv)
{
    if (argc > 4 && qstrcmp(argv[1], "--peer") == 0)
        return runPeer(argc, argv);
    QCoreApplication app(argc, argv);
    tst_singleapplication test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleapplication.moc"
