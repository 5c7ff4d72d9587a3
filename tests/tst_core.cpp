#include "core/channelmanager.h"
#include "core/loghandler.h"
#include "core/translation.h"
#include "platform/platform.h"
#include "report/machineid.h"
#include "report/operationlog.h"
#include "report/operationlogrecord.h"
#include "support/testfiles.h"
#include "support/vendorserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTextCodec>
#include <QtTest>

#include <thread>
#include <vector>

// The shared core (channel, log, language), the reporting and the platform's copy and uninstall.
namespace {

const QString zeros = QStringLiteral("0000000000000000");
// MD5 of the salted type words and of sample machine texts, worked out with md5sum.
const QString normalToken = QStringLiteral("27758b275ff6cdbd98bc093ec9416b3d");
const QString testToken = QStringLiteral("97baf6c59825b8a09bff3ccab1232202");
const QString uuidId = QStringLiteral("232a754f4ad26c74649b89f5a22f11d0"); // 4C4C4544-...-4E4E32
const QString debug = QStringLiteral(" Debug: File:() Line:(0) ");

// A locale codec that complains into the log handler about each log line it converts, as a codec
// may about a character it cannot map. The toolkit's registry owns it.
class ComplainingCodec : public QTextCodec
{
    QByteArray name() const override { return "x-kovra-complaining"; }
    int mibEnum() const override { return -4711; }
    QString convertToUnicode(const char *in, int length, ConverterState *) const override
    {
        return QString::fromUtf8(in, length);
    }
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override
    {
        if (QStringView(in, length).contains(QLatin1String("File:(")))
            logMessageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("complaint"));
        return QString(in, length).toUtf8();
    }
};

} // namespace

class tst_core : public QObject
{
    Q_OBJECT

private slots:
    void channel_data()
    {
        columns<QString, QString, QString, int, QString>("before", "arg", "name", "type", "id");
        // "Default" (no "-", "_" or "#") sets all three fields as a fresh instance holds them.
        const QString fresh = QStringLiteral("Default");
        row("empty", fresh, "", "Default", 1, zeros);
        row("name", fresh, "web01", "web01", 1, zeros);
        row("prefix", fresh, "setup_web01", "web01", 1, zeros);
        row("id", fresh, "setup_web01-a7f3c", "web01", 1, "a7f3c");
        row("test word", fresh, "setup_web01#kvtst-a7f3c", "web01", 0, "a7f3c");
        row("other word", fresh, "setup_web01#beta-a7f3c", "web01", 1, "a7f3c");
        row("upper-case word", fresh, "setup_web01#KVTST-a7f3c", "web01", 1, "a7f3c");
        row("cut", fresh, "setup_web-01_x-abcdefghijklmnopqr", "web-01_x", 1, "abcdefghijklmnop");
        row("dash first", fresh, "-a7f3c", "-a7f3c", 1, zeros);
        row("trailing dash", fresh, "setup_web01-", "web01", 1, "");
        row("second hash", fresh, "a_b#c#d", "b", 1, zeros);
        row("test word alone", fresh, "setup_#kvtst", "", 0, zeros);
        row("underscore", fresh, "_", "", 1, zeros);
        row("empty keeps the id", "setup_web01-a7f3c", "", "Default", 1, "a7f3c");
        row("other word keeps the type", "x_y#kvtst", "a_b#beta", "b", 0, zeros);
        row("no word sets normal", "x_y#kvtst", "a_b-c1", "b", 1, "c1");
        row("separators dropped", fresh, "x_w,e\r\nb#kvtst-a7,f\u2028c", "web", 0, "a7fc");
    }
    void channel()
    {
        QFETCH(QString, before);
        QFETCH(QString, arg);
        ChannelManager *manager = ChannelManager::instance();
        manager->parseChannel(before);
        manager->parseChannel(arg);
        QTEST(manager->channelName(), "name");
        QTEST(manager->channelType(), "type");
        QTEST(manager->channelId(), "id");
        QCOMPARE(manager->channelToken(), manager->channelType() == 1 ? normalToken : testToken);
    }

    void lineLayout_data()
    {
        columns<int, QString, QString>("type", "level", "message");
        row("warning", int(QtWarningMsg), "Warning:", "w");
        row("info: no level word", int(QtInfoMsg), "", "i");
        row("placeholders kept", int(QtDebugMsg), "Debug:", "%4 %1 (100%)");
    }
    void lineLayout()
    {
        QFETCH(int, type);
        QFETCH(QString, level);
        QFETCH(QString, message);
        const qint64 before = QFileInfo(logPath()).size();
        const QDateTime earliest = QDateTime::currentDateTime().addSecs(-1);
        logMessageHandler(QtMsgType(type), {"a%1.cpp", 42, nullptr, nullptr}, message);
        const QString line = linesAfter(before).join('|'); // one line only
        const QDateTime time = QDateTime::fromString(line.left(21), "(yyyy-MM-dd hh:mm:ss)");
        QVERIFY2(time >= earliest && time <= QDateTime::currentDateTime(), qPrintable(line));
        QCOMPARE(line.mid(21), " " + level + " File:(a%1.cpp) Line:(42) " + message);
    }

    // Lines of up to 40,000 characters: a line written in pieces would show torn by others.
    void threadsWriteWholeLines()
    {
        const auto text = [](int t, int i) {
            return QString(i % 40 ? i : 40000, 'a' + t).prepend(QString("%1 %2 ").arg(t).arg(i));
        };
        const qint64 before = QFileInfo(logPath()).size();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t, &text] {
                for (int i = 0; i < 400; ++i)
                    logMessageHandler(QtDebugMsg, {}, text(t, i));
            });
        for (std::thread &thread : threads)
            thread.join();
        const QStringList lines = linesAfter(before);
        QCOMPARE(lines.size(), 1600);
        int next[4] = {};
        for (const QString &line : lines) {
            const int t = line.section(' ', 5, 5).toInt() % 4;
            QVERIFY2(line.endsWith(debug + text(t, next[t]++)), qPrintable(line.left(99)));
        }
    }

    void unwritableLogLosesOnlyThatLine()
    {
        QFile::remove(logPath());
        QVERIFY(QDir().mkpath(logPath())); // a folder where the file belongs
        logMessageHandler(QtWarningMsg, {}, QStringLiteral("lost"));
        QVERIFY(QDir(logPath()).removeRecursively());
        logMessageHandler(QtDebugMsg, {}, QStringLiteral("kept"));
        QVERIFY(linesAfter(0).size() == 1 && linesAfter(0).first().endsWith(debug + "kept"));
    }

    // Each run is a process of its own: the first creates the missing cache folder and has the
    // default channel, the next appends. A message raised while a line is written is dropped.
    void runsAppendAndNeverDeadlock()
    {
        QVERIFY(QDir(QFileInfo(logPath()).path()).removeRecursively());
        QVERIFY(runInstaller("") && runInstaller("x_web01#kvtst-%1"));
        QStringList lines = linesAfter(0);
        for (QString &line : lines)
            line.remove(0, 21); // the time
        QCOMPARE(lines, (QStringList{debug + "\"Default\" 1", debug + zeros,
                                     debug + "CCCCCCCCCCCCCCCCCCC \"web01\" \"kvtst\" 0 \"%1\"",
                                     debug + "%1"}));
    }

    void language_data()
    {
        // The start-up warning ("\n" shown as it stands) and the install button.
        columns<QString, QString, QString>("locale", "warning", "button");
        row("United States", "en_US", "restore, \\nto avoid overwriting the files", "install now");
        row("United Kingdom", "en_GB", "restore, \\nto avoid overwriting the files", "install now");
        row("German", "de_DE", "请勿将本程序安装到你需要恢复的分区", "立即安装");
        row("Japanese", "ja_JP", "请勿将本程序安装到你需要恢复的分区", "立即安装");
        row("Chinese", "zh_CN", "请勿将本程序安装到你需要恢复的分区", "立即安装");
    }
    void language()
    {
        QFETCH(QString, locale);
        QLocale::setDefault(QLocale(locale)); // what QLocale() says on a system of that language
        loadTranslation();
        QFETCH(QString, warning);
        QVERIFY2(QObject::tr("language9").contains(warning), qPrintable(QObject::tr("language9")));
        QTEST(QCoreApplication::translate("kovraSetupOnlineClass", "立即安装"), "button");
    }

    void machineId_data()
    {
        columns<QString, QString, QString, int>("uuid", "cpu", "id", "queries");
        const QString cpu = QStringLiteral("ProcessorId  \r\r\nBFEBFBFF000906EA  \r\r\n\r\r\n");
        const char *uuid = "UUID    \r\r\n4C4C4544-0035-4B10-8047-B4C04F4E4E32  \r\r\n\r\r\n";
        const char *placeholder = "UUID\r\r\nFFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF\r\r\n";
        const char *cpus = "PROCESSORID\r\r\nBFEBFBFF000906EA  \r\r\nBFEBFBFF000906EB  \r\r\n";
        row("wmic output", uuid, cpu, uuidId, 1);
        row("header in other case", "Uuid\n 4C4C4544-0035-4B10-8047-B4C04F4E4E32", cpu, uuidId, 1);
        row("placeholder", placeholder, cpu, "7087337dc0f6a2ae3fc0b3e32684f6dd", 2);
        row("eight F inside", "UUID\n03-FFFFFFFF-7", cpu, "7087337dc0f6a2ae3fc0b3e32684f6dd", 2);
        row("lower-case f", "UUID\nffffffff-ffff", cpu, "37bc905817de0ee321f768ee4a2dba11", 1);
        row("several processors", placeholder, cpus, "10495956882c5d0c7ff443075da6b19f", 2);
        row("no output", "", cpu, "d41d8cd98f00b204e9800998ecf8427e", 1);
    }
    // Worked out on the first call of the run; later calls start no query.
    void machineId()
    {
        QFETCH(QString, uuid);
        QFETCH(QString, cpu);
        int queries = 0;
        const MachineQuery query = [&](const QString &command) {
            ++queries;
            return command.endsWith(QLatin1String("UUID")) ? uuid : cpu;
        };
        g_machineId.clear();
        QTEST(getMachineId(query), "id");
        QTEST(getMachineId(), "id"); // from the cache, not from the platform's query
        QTEST(queries, "queries");
    }

    void recordBody()
    {
        g_channelName = QStringLiteral("web01 \"渠道\\");
        g_channelId = QStringLiteral("a7f3c");
        g_machineId = uuidId;
        QCOMPARE(OperationLogRecord("pc-load-failedcode--100").toJson(),
                 QStringLiteral(
                     "{\"apkChannel\":\"web01 \\\"渠道\\\\\",\"apkId\":%1,\"apkVersionCode\":1,"
                     "\"apkVersionName\":\"1.2.1\",\"btnId\":\"pc-load-failedcode--100\","
                     "\"pcId\":\"232a754f4ad26c74649b89f5a22f11d0\",\"phoneId\":\"a7f3c\","
                     "\"phoneMaker\":\"\",\"phoneModel\":\"\",\"phoneOs\":2,"
                     "\"phoneOsVersion\":\"\",\"type\":38}")
                     .arg(KOVRA_GREEN_BRAND ? 27 : 25));
    }

    // In send order, though the server holds each up to 300 ms at random (posted side by side they
    // overtake); neither a refused one nor one answered a byte now and then holds the others back
    // for long; such a server holds the wait only to its bound.
    void recordsInSendOrderWhateverTheServer()
    {
        VendorServer server;
        QTcpServer dribbling, refusing;
        QVERIFY(server.start(0, 300) && dribbling.listen(QHostAddress::LocalHost) &&
                refusing.listen(QHostAddress::LocalHost));
        connect(&dribbling, &QTcpServer::newConnection, [&dribbling] {
            QTcpSocket *socket = dribbling.nextPendingConnection();
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 99999\r\n\r\n");
            auto *clock = new QTimer(socket);
            connect(clock, &QTimer::timeout, socket, [socket] { socket->write("."); });
            clock->start(2000);
        });
        const QString refused = QStringLiteral("http://127.0.0.1:%1").arg(refusing.serverPort());
        const QString slow = QStringLiteral("http://127.0.0.1:%1").arg(dribbling.serverPort());
        refusing.close();
        OperationLog log;
        log.send(refused, "pc-install-go");
        log.send(slow, "pc-install-min");
        QStringList sent;
        for (int i = 0; i < 8; ++i) {
            sent << QStringLiteral("pc-install-failedcode-%1").arg(i);
            log.send(server.baseUrl(), sent.last());
        }
        QVERIFY(log.waitForPending(60000));
        QCOMPARE(server.recordValues("btnId"), sent);
        const QJsonObject request = server.requests().constFirst();
        QCOMPARE(request.value("contentType").toString(), "application/json;charset=utf-8");
        log.send(slow, "pc-install-setup");
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(!log.waitForPending(500));
        QVERIFY2(QDateTime::currentMSecsSinceEpoch() - start < 5000, "the wait overran its bound");
    }

    // The uninstall line removes exactly its folder whatever the name holds, and runs nothing.
    void removalLineRemovesOnlyItsFolder()
    {
        for (const QString name :
             {"lumerixMasterRecovery", "lumerix Master  Recovery", "a\" b", "$HOME", "`touch made`",
              "$(touch made)", "a\\b\\", "a\"; touch made; \"b", "one\ntwo", "恢复大师"}) {
            QTemporaryDir work;
            const QString folder = work.filePath("root/" + name);
            QVERIFY(TestFiles::write(folder + "/product.exe", "product"));
            QVERIFY(TestFiles::write(work.filePath("root/neighbour.txt"), "stays"));
            const QString line = Platform::folderRemovalCommand(Platform::nativeFolder(folder));
            QProcess shell;
            shell.setWorkingDirectory(work.path());
            shell.start("sh", {"-c", line});
            QVERIFY(shell.waitForFinished(60000));
            QVERIFY2(!QFileInfo::exists(folder), qPrintable(line));
            // Nothing made by a command in the name, nothing else removed.
            QCOMPARE(QDir(work.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList{"root"});
            QCOMPARE(TestFiles::read(work.filePath("root/neighbour.txt")), QByteArray("stays"));
        }
    }

    // Onto shared memory where it can: a file system of its own, where the copy cannot stay in
    // the kernel. 0x7055 is rwxr-xr-x in QFile's flags for owner, group and others.
    void copyKeepsPermissionsNeverOverwrites()
    {
        QTemporaryDir source, shm("/dev/shm/kovra-XXXXXX");
        const QString a = source.filePath("a"), b = source.filePath("b"),
                      copy = (shm.isValid() ? shm : source).filePath("copy");
        QByteArray content; // several buffers and a bit
        for (int i = 0; content.size() < 3 << 20; ++i)
            content += QByteArray::number(i);
        QVERIFY(TestFiles::write(a, content) && TestFiles::write(b, "new"));
        QVERIFY(QFile::setPermissions(a, QFile::Permissions(0x7055)));
        QVERIFY(Platform::copyFile(a, copy) && !Platform::copyFile(b, copy));
        QCOMPARE(TestFiles::read(copy), content);
        // Less the "user" bits: the same again, for whoever runs the test.
        QCOMPARE(int(QFile::permissions(copy)) & ~0x0700, 0x7055);
    }

private:
    // A table's columns, and one row on one line.
    template<typename... T, typename... Names> static void columns(const Names &...names)
    {
        (QTest::addColumn<T>(names), ...);
    }
    template<typename... T> static void row(const char *tag, const T &...values)
    {
        (QTest::newRow(tag) << ... << values);
    }
    static QString logPath()
    {
        return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
               "/install_revanto.log";
    }
    // The lines written since the log held `before` bytes, each without its CR LF.
    static QStringList linesAfter(qint64 before)
    {
        QFile file(logPath());
        const QByteArray added = file.open(QIODevice::ReadOnly) ? file.readAll().mid(before) : "";
        QStringList lines = QString::fromLatin1(added).split(QStringLiteral("\r\n"));
        return lines.takeLast().isEmpty() ? lines : QStringList{"<unterminated>"};
    }
    // The start of a run, with that channel argument, as a process of its own; false when it
    // failed or hung (a deadlocked log handler never returns; QProcess kills what still runs).
    static bool runInstaller(const QString &argument)
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--run", argument});
        return child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit &&
               child.exitCode() == 0;
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    // A child: the log handler and the channel of an installer's start, and one line more.
    if (app.arguments().value(1) == QLatin1String("--run")) {
        QTextCodec::setCodecForLocale(new ComplainingCodec);
        qInstallMessageHandler(logMessageHandler);
        ChannelManager::instance()->parseChannel(app.arguments().value(2));
        qDebug().noquote() << ChannelManager::instance()->channelId();
        return 0;
    }
    tst_core test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_core.moc"
