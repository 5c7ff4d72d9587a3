#include "app/loghandler.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

namespace {

const QString childOption = QStringLiteral("--write-log-line");
// A message carrying this makes the test codec raise a warning while the line is written.
const QString warningMarker = QStringLiteral("needs-a-codec-warning");
const char codecWarning[] = "text codec could not map a character";

QString logFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString logPath()
{
    return logFolder() + QStringLiteral("/install_revanto.log");
}

QByteArray logContent()
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// The lines written after the file held `before` bytes, without their CR LF ends.
QStringList linesAfter(qint64 before)
{
    const QByteArray added = logContent().mid(int(before));
    if (!added.isEmpty() && !added.endsWith("\r\n"))
        return {QStringLiteral("<unterminated> ") + QString::fromLatin1(added)};
    QStringList lines = QString::fromLatin1(added).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

qint64 logSize()
{
    return QFileInfo(logPath()).size();
}

void logDirectly(QtMsgType type, const QString &message)
{
    logMessageHandler(type, QMessageLogContext(), message);
}

// Routes the toolkit's messages to the log handler, as the installer's start-up does.
class InstalledLogHandler
{
public:
    InstalledLogHandler()
        : m_previous(qInstallMessageHandler(logMessageHandler))
    {}
    ~InstalledLogHandler() { qInstallMessageHandler(m_previous); }
    InstalledLogHandler(const InstalledLogHandler &) = delete;
    InstalledLogHandler &operator=(const InstalledLogHandler &) = delete;

private:
    QtMessageHandler m_previous;
};

// A locale codec that complains about the texts it writes, as a codec may do about a character
// it cannot map. The complaint goes straight back to the log handler on the same thread, as it
// does where the toolkit has no re-entry check of its own. Registered with the toolkit, which
// owns it.
class ComplainingCodec : public QTextCodec
{
public:
    std::atomic<int> warnings{0};

    QByteArray name() const override { return QByteArrayLiteral("x-kovra-complaining"); }
    int mibEnum() const override { return -4711; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *state) const override
    {
        return utf8()->toUnicode(in, length, state);
    }
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *state) const override
    {
        if (QStringView(in, length).contains(warningMarker)) {
            ++const_cast<ComplainingCodec *>(this)->warnings;
            logMessageHandler(QtWarningMsg, QMessageLogContext(), QLatin1String(codecWarning));
        }
        return utf8()->fromUnicode(in, length, state);
    }

private:
    static QTextCodec *utf8() { return QTextCodec::codecForName("UTF-8"); }
};

class LocaleCodecScope
{
public:
    explicit LocaleCodecScope(QTextCodec *codec)
        : m_previous(QTextCodec::codecForLocale())
    {
        QTextCodec::setCodecForLocale(codec);
    }
    ~LocaleCodecScope() { QTextCodec::setCodecForLocale(m_previous); }
    LocaleCodecScope(const LocaleCodecScope &) = delete;
    LocaleCodecScope &operator=(const LocaleCodecScope &) = delete;

private:
    QTextCodec *m_previous;
};

const QString timePattern = QStringLiteral("\\((\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\)");

} // namespace

class tst_loghandler : public QObject
{
    Q_OBJECT

private slots:
    void firstMessageCreatesCacheFolder();
    void lineLayout_data();
    void lineLayout();
    void installedHandlerWritesDebugStream();
    void threadsWriteWholeLines();
    void warningRaisedWhileWritingIsDropped();
    void unwritableLogLosesOnlyThatLine_data();
    void unwritableLogLosesOnlyThatLine();
    void laterRunsAppend();
};

// Runs first: nothing has logged in this process yet, and the test home starts empty.
void tst_loghandler::firstMessageCreatesCacheFolder()
{
    QVERIFY(g_logDir.isEmpty());
    QVERIFY(QDir(logFolder()).removeRecursively());
    QVERIFY(!QFileInfo::exists(logFolder()));

    logDirectly(QtDebugMsg, QStringLiteral("first"));

    QCOMPARE(g_logDir, logFolder());
    QVERIFY(QFileInfo(logFolder()).isDir());
    QCOMPARE(linesAfter(0).size(), 1);
    QVERIFY(linesAfter(0).first().endsWith(QStringLiteral(" Debug: File:() Line:(0) first")));
}

void tst_loghandler::lineLayout_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("afterTime");

    QTest::newRow("debug") << int(QtDebugMsg) << QByteArray() << 0 << "\"Default\" 1"
                           << " Debug: File:() Line:(0) \"Default\" 1";
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray() << 0 << "disk full"
                             << " Warning: File:() Line:(0) disk full";
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray() << 0 << "no 7z"
                              << " Critical: File:() Line:(0) no 7z";
    QTest::newRow("fatal") << int(QtFatalMsg) << QByteArray() << 0 << "gone"
                           << " Fatal: File:() Line:(0) gone";
    QTest::newRow("info has no level word") << int(QtInfoMsg) << QByteArray() << 0 << "ready"
                                            << "  File:() Line:(0) ready";
    QTest::newRow("placeholders in the message are kept")
        << int(QtDebugMsg) << QByteArray() << 0 << "copy %1 to %2 (100%)"
        << " Debug: File:() Line:(0) copy %1 to %2 (100%)";
    QTest::newRow("template numbers in the message are kept")
        << int(QtDebugMsg) << QByteArray() << 0 << "%4 %3 %2 %1"
        << " Debug: File:() Line:(0) %4 %3 %2 %1";
    QTest::newRow("empty message") << int(QtDebugMsg) << QByteArray() << 0 << ""
                                   << " Debug: File:() Line:(0) ";
    QTest::newRow("toolkit message with its position")
        << int(QtWarningMsg) << QByteArray("io/qfile.cpp") << 42 << "open failed"
        << " Warning: File:(io/qfile.cpp) Line:(42) open failed";
    QTest::newRow("placeholder in the file name is kept")
        << int(QtWarningMsg) << QByteArray("a%4.cpp") << 7 << "m"
        << " Warning: File:(a%4.cpp) Line:(7) m";
}

void tst_loghandler::lineLayout()
{
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QString, message);
    QFETCH(QString, afterTime);

    const qint64 before = logSize();
    const QDateTime earliest = QDateTime::currentDateTime().addMSecs(-1000);
    const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), line, nullptr,
                                     nullptr);
    logMessageHandler(QtMsgType(type), context, message);
    const QDateTime latest = QDateTime::currentDateTime();

    const QStringList lines = linesAfter(before);
    QCOMPARE(lines.size(), 1);
    const QRegularExpressionMatch match =
        QRegularExpression(QLatin1Char('^') + timePattern + QStringLiteral("(.*)$"))
            .match(lines.first());
    QVERIFY2(match.hasMatch(), qPrintable(lines.first()));
    QCOMPARE(match.captured(2), afterTime);
    const QDateTime written =
        QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QVERIFY2(written >= earliest && written <= latest, qPrintable(match.captured(1)));
}

void tst_loghandler::installedHandlerWritesDebugStream()
{
    const qint64 before = logSize();
    {
        const InstalledLogHandler installed;
        qDebug() << QStringLiteral("Default") << 1;
        qInfo() << "ready";
        qWarning("%s", "100% done, %1 kept");
    }
    const QStringList lines = linesAfter(before);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).endsWith(QStringLiteral(") Debug: File:() Line:(0) \"Default\" 1")),
             qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).endsWith(QStringLiteral(")  File:() Line:(0) ready")),
             qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).endsWith(QStringLiteral(") Warning: File:() Line:(0) 100% done, %1 kept")),
             qPrintable(lines.at(2)));
}

// Four threads log at once; each line is whole, ended by CR LF, and each message is there once,
// in the order its thread wrote it.
void tst_loghandler::threadsWriteWholeLines()
{
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 10000;
    // Lengths from a few bytes to beyond a pipe or stdio buffer, so a torn write would show.
    const auto padding = [](int line) {
        return QString(line % 97 == 0 ? 9000 : (line * 37) % 300, QLatin1Char('a' + line % 26));
    };
    const qint64 before = logSize();

    QSemaphore ready;
    QSemaphore go;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([&, t] {
            ready.release();
            go.acquire();
            for (int i = 0; i < linesPerThread; ++i)
                logDirectly(QtDebugMsg,
                            QStringLiteral("thread %1 line %2 |%3|").arg(t).arg(i).arg(padding(i)));
        }));
        threads.back()->start();
    }
    // Every thread waits at the same starting line, then all write at once. They are released
    // and waited for in any case: a running thread must not be destroyed.
    const bool allReady = ready.tryAcquire(threadCount, 60000);
    go.release(threadCount);
    for (const auto &thread : threads)
        thread->wait();
    QVERIFY(allReady);

    const QByteArray added = logContent().mid(int(before));
    QVERIFY(added.endsWith("\r\n"));
    const QList<QByteArray> lines = added.left(added.size() - 2).split('\n');
    QCOMPARE(lines.size(), threadCount * linesPerThread);
    const QRegularExpression whole(QLatin1Char('^') + timePattern +
                                   QStringLiteral(" Debug: File:\\(\\) Line:\\(0\\) thread "
                                                  "(\\d) line (\\d+) \\|([a-z]*)\\|$"));
    std::vector<int> next(threadCount, 0);
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &raw = lines.at(i);
        // Every line but the last was cut at "\n": it must end in the CR of its CR LF.
        QVERIFY2(i == lines.size() - 1 || raw.endsWith('\r'), raw.left(200).constData());
        const QString line = QString::fromLatin1(i == lines.size() - 1 ? raw : raw.chopped(1));
        QVERIFY2(!line.contains(QLatin1Char('\r')), qPrintable(line.left(200)));
        const QRegularExpressionMatch match = whole.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line.left(200)));
        const int thread = match.captured(2).toInt();
        const int number = match.captured(3).toInt();
        QVERIFY2(thread < threadCount, qPrintable(line.left(200)));
        // In order and without gaps: so every message is there, exactly once.
        QCOMPARE(number, next[thread]);
        QCOMPARE(match.captured(4), padding(number));
        ++next[thread];
    }
    for (int t = 0; t < threadCount; ++t)
        QCOMPARE(next[t], linesPerThread);
}

// The stream converts the line through the locale codec while the lock is held; a warning raised
// there comes back into the handler on the same thread and must neither deadlock nor be written.
void tst_loghandler::warningRaisedWhileWritingIsDropped()
{
    auto *codec = new ComplainingCodec; // owned by the toolkit's codec registry
    const qint64 before = logSize();
    std::unique_ptr<QThread> writer(QThread::create(
        [] { qDebug().noquote() << QStringLiteral("line that ") + warningMarker; }));
    {
        const LocaleCodecScope localeCodec(codec);
        const InstalledLogHandler installed;
        writer->start();
        // Not a time goal: a deadlocked handler never returns, so the test must not wait forever.
        if (!writer->wait(60000)) {
            qInstallMessageHandler(nullptr);
            qFatal("the log handler deadlocked on a warning raised while writing a line");
        }
    }

    QVERIFY(codec->warnings >= 1);
    const QStringList lines = linesAfter(before);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().endsWith(QStringLiteral(" Debug: File:() Line:(0) line that ") +
                                    warningMarker),
             qPrintable(lines.first()));
    QVERIFY(!logContent().contains(codecWarning));

    // The thread that was inside the handler logs normally afterwards.
    logDirectly(QtDebugMsg, QStringLiteral("after the codec"));
    QVERIFY(linesAfter(before).last().endsWith(QStringLiteral("after the codec")));
}

void tst_loghandler::unwritableLogLosesOnlyThatLine_data()
{
    QTest::addColumn<bool>("removeFolder");
    QTest::newRow("log file name taken by a folder") << false;
    QTest::newRow("log folder removed after the first message") << true;
}

void tst_loghandler::unwritableLogLosesOnlyThatLine()
{
    QFETCH(bool, removeFolder);

    if (removeFolder) {
        QVERIFY(QDir(logFolder()).removeRecursively());
    } else {
        QVERIFY(!QFileInfo::exists(logPath()) || QFile::remove(logPath()));
        QVERIFY(QDir().mkpath(logPath()));
    }

    logDirectly(QtWarningMsg, QStringLiteral("lost line"));

    // The folder is resolved and created once per process; a removed one stays removed.
    QCOMPARE(QFileInfo::exists(logFolder()), !removeFolder);
    QVERIFY(!QFileInfo(logPath()).isFile());

    if (removeFolder)
        QVERIFY(QDir().mkpath(logFolder()));
    else
        QVERIFY(QDir(logPath()).removeRecursively());

    logDirectly(QtDebugMsg, QStringLiteral("line after"));
    const QStringList lines = linesAfter(0);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().endsWith(QStringLiteral(" Debug: File:() Line:(0) line after")),
             qPrintable(lines.first()));
}

// Each run of the installer is a process of its own; the lines of earlier runs stay.
void tst_loghandler::laterRunsAppend()
{
    const QByteArray earlier = logContent();
    QVERIFY(!earlier.isEmpty());

    const QStringList runs{QStringLiteral("first run %1"), QStringLiteral("second run")};
    for (const QString &text : runs) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {childOption, text});
        QVERIFY2(child.waitForFinished(60000), qPrintable(child.errorString()));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
    }

    const QByteArray now = logContent();
    QVERIFY(now.startsWith(earlier));
    const QStringList lines = linesAfter(earlier.size());
    QCOMPARE(lines.size(), runs.size());
    for (int i = 0; i < runs.size(); ++i) {
        QVERIFY2(lines.at(i).endsWith(QStringLiteral(" Debug: File:() Line:(0) ") + runs.at(i)),
                 qPrintable(lines.at(i)));
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);

    // A child run: one line through the installed handler, like one run of the installer.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == childOption) {
        qInstallMessageHandler(logMessageHandler);
        qDebug().noquote() << arguments.at(2);
        return 0;
    }

    tst_loghandler test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_loghandler.moc"
