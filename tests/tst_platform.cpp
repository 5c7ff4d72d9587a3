#include "platform/platform.h"
#include "support/testfiles.h"

#include <QRandomGenerator>
#include <QStorageInfo>
#include <QtTest>

// The platform functions the install relies on. The file copy: the content and permission bits
// arrive whole, an existing file is never replaced, and a failed copy leaves no target behind.
// The removal line of the "Uninstall" file: it removes exactly the install folder, whatever
// characters the folder's name holds.
class tst_platform : public QObject
{
    Q_OBJECT

private slots:
    void copies_data();
    void copies();
    void refuses_data();
    void refuses();
    void removalCommand_data();
    void removalCommand();

private:
    QTemporaryDir m_tmp;
};

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

void tst_platform::copies_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("permissions");
    QTest::addColumn<bool>("otherFileSystem");

    // Owner, group and others; the "user" flags depend on who runs the test.
    const int plain =
        int(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    const int executable = plain | int(QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    const int readOnly = int(QFile::ReadOwner | QFile::ReadGroup);
    QTest::newRow("empty file") << 0 << plain << false;
    QTest::newRow("one byte") << 1 << plain << false;
    QTest::newRow("several buffers and a bit") << 3 * 1024 * 1024 + 7 << plain << false;
    QTest::newRow("program stays executable") << 4096 << executable << false;
    QTest::newRow("read-only stays read-only") << 100 << readOnly << false;
    QTest::newRow("onto another file system") << 3 * 1024 * 1024 + 7 << executable << true;
}

void tst_platform::copies()
{
    QFETCH(int, size);
    QFETCH(int, permissions);
    QFETCH(bool, otherFileSystem);

    const QString source = m_tmp.filePath(QStringLiteral("source-%1").arg(QTest::currentDataTag()));
    const QByteArray content = randomBytes(size);
    QVERIFY(TestFiles::write(source, content));
    QVERIFY(QFile::setPermissions(source, QFile::Permissions(permissions)));

    std::unique_ptr<QTemporaryDir> otherDisk;
    QString target = m_tmp.filePath(QStringLiteral("target-%1").arg(QTest::currentDataTag()));
    if (otherFileSystem) {
        // Shared memory is a file system of its own on Linux: the copy cannot stay in the kernel.
        otherDisk = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/kovra-XXXXXX"));
        if (!otherDisk->isValid() ||
            QStorageInfo(otherDisk->path()).device() == QStorageInfo(m_tmp.path()).device())
            QSKIP("no second file system at /dev/shm");
        target = otherDisk->filePath(QStringLiteral("target"));
    }

    QVERIFY(Platform::copyFile(source, target));
    QCOMPARE(TestFiles::read(target), content);
    const int userFlags = int(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    QCOMPARE(int(QFile::permissions(target)) & ~userFlags, permissions);
    QCOMPARE(TestFiles::read(source), content);
}

void tst_platform::refuses_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("target exists") << "existing target";
    QTest::newRow("source missing") << "missing source";
    QTest::newRow("source is a folder") << "folder source";
    QTest::newRow("target folder missing") << "missing folder";
    QTest::newRow("target folder not writable") << "locked folder";
}

void tst_platform::refuses()
{
    QFETCH(QString, kind);

    const QString folder = m_tmp.filePath(QTest::currentDataTag());
    QVERIFY(QDir().mkpath(folder));
    QString source = folder + QStringLiteral("/source");
    QString target = folder + QStringLiteral("/target");
    if (kind != QLatin1String("missing source"))
        QVERIFY(TestFiles::write(source, "new"));
    if (kind == QLatin1String("existing target")) {
        QVERIFY(TestFiles::write(target, "old"));
    } else if (kind == QLatin1String("folder source")) {
        source = folder + QStringLiteral("/sub");
        QVERIFY(QDir().mkpath(source));
    } else if (kind == QLatin1String("missing folder")) {
        target = folder + QStringLiteral("/none/target");
    } else if (kind == QLatin1String("locked folder")) {
        target = folder + QStringLiteral("/locked/target");
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        QVERIFY(QFile::setPermissions(QFileInfo(target).path(), QFile::ReadOwner | QFile::ExeOwner |
                                                                    QFile::ReadUser |
                                                                    QFile::ExeUser));
        // Root writes into any folder; the row says nothing then.
        if (TestFiles::write(QFileInfo(target).path() + QStringLiteral("/probe"), "x"))
            QSKIP("running with the right to write into read-only folders");
    }

    QVERIFY(!Platform::copyFile(source, target));
    if (kind == QLatin1String("existing target"))
        QCOMPARE(TestFiles::read(target), QByteArray("old"));
    else
        QVERIFY(!QFileInfo::exists(target));
}

void tst_platform::removalCommand_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "lumerixMasterRecovery";
    QTest::newRow("blanks") << "Program Files/lumerix Master";
    QTest::newRow("double quote") << "a\" b";
    QTest::newRow("variable") << "$HOME";
    QTest::newRow("variable in braces") << "x${PWD}y";
    QTest::newRow("command") << "`touch made-by-uninstall`";
    QTest::newRow("command in parentheses") << "$(touch made-by-uninstall)";
    QTest::newRow("backslashes") << "a\\b\\";
    QTest::newRow("quote and command") << "a\"; touch made-by-uninstall; \"b";
    QTest::newRow("line break") << "one\ntwo";
    QTest::newRow("non-ASCII") << QString::fromUtf8("恢复大师");
}

void tst_platform::removalCommand()
{
    QFETCH(QString, name);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    // The install folder with a file in it, and neighbours that must stay.
    const QString folder = work.filePath(QStringLiteral("root/") + name);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(TestFiles::write(folder + QStringLiteral("/product.exe"), "product"));
    QVERIFY(TestFiles::write(work.filePath(QStringLiteral("root/neighbour.txt")), "stays"));

    const QString command = Platform::folderRemovalCommand(Platform::nativeFolder(folder));
    QProcess shell;
    shell.setWorkingDirectory(work.path());
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    QVERIFY2(shell.waitForFinished(60000), qPrintable(shell.errorString()));
    QVERIFY2(shell.exitCode() == 0, qPrintable(command + '\n' + shell.readAll()));

    QVERIFY2(!QFileInfo::exists(folder), qPrintable(command));
    QCOMPARE(TestFiles::read(work.filePath(QStringLiteral("root/neighbour.txt"))),
             QByteArray("stays"));
    QVERIFY2(!QFileInfo::exists(work.filePath(QStringLiteral("made-by-uninstall"))),
             qPrintable(command));
}

QTEST_GUILESS_MAIN(tst_platform)
#include "tst_platform.moc"
