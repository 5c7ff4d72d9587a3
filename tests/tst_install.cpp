#include "core/product.h"
#include "install/archiveguard.h"
#include "install/installthread.h"
#include "install/uninstallentry.h"
#include "platform/platform.h"
#include "support/testfiles.h"

#include <QDirIterator>
#include <QSettings>
#include <QtTest>

// The install thread with the real 7-Zip: packages good and bad, folders empty, taken and
// linked, earlier installations and their registration.
namespace {

const QString pkg = QStringLiteral("Revanto_x64Minimal");
const QString product = QString::fromLatin1(Product::productExecutable).mid(1);
const QString uninstaller = QString::fromLatin1(Product::uninstallerExecutable).mid(1);
const QString name = QString::fromLatin1(Product::displayNameKey); // no catalogue loaded

QString location(QStandardPaths::StandardLocation where, const QString &relative = {})
{
    return QStandardPaths::writableLocation(where) + relative;
}
// What the uninstall list holds on disk (the toolkit keeps unsaved values in memory).
bool registered()
{
    return TestFiles::read(
               location(QStandardPaths::GenericConfigLocation, "/kovra/uninstall-list.ini"))
        .contains("UninstallString");
}
QString desktopLink()
{
    return location(QStandardPaths::DesktopLocation, QLatin1Char('/') + name + ".lnk");
}
QString startMenuLink()
{
    return location(QStandardPaths::ApplicationsLocation, "/" + name + "/" + name + ".lnk");
}

bool run(const QString &program, const QStringList &arguments, const QString &folder)
{
    QProcess tool;
    tool.setWorkingDirectory(folder);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    tool.closeWriteChannel();
    const bool ok = tool.waitForFinished(120000) && tool.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(program), tool.readAll().constData());
    return ok;
}

// Every entry below folder, relative, sorted; links are listed, not followed.
QStringList entries(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(it.next().mid(folder.size() + 1));
    found.sort();
    return found;
}

} // namespace

class tst_install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void outcome_data();
    void outcome();
    void judgeListing_data();
    void judgeListing();
    void destructorWaitsForInstall();

private:
    QString tmp(const QString &relative) const { return m_tmp->filePath(relative); }
    // Packs the files (relative to a stage folder, a trailing "/" makes a folder) into archive.
    bool pack(const QStringList &files, const QString &archive, const QStringList &switches = {});
    QStringList install(const QString &archive, const QString &dir, bool is64Bit = true);

    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_dl, m_archive, m_dir;
};

void tst_install::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // The distribution beside the installer: one file to ship, and the installer itself.
    const QString beside = QCoreApplication::applicationDirPath();
    QVERIFY(TestFiles::write(beside + "/shipped.dll", "shipped"));
    QVERIFY(TestFiles::write(
        beside + "/distribution.list",
        "shipped.dll\n" + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8()));
}

void tst_install::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(m_tmp->path()); // where a relative install folder would land
    m_dl = tmp("dl");
    m_archive = m_dl + "/lumerixtemp.7z";
    m_dir = tmp("Program Files") + QLatin1String(Product::productFolderName);
    QVERIFY(QDir().mkpath(m_dl));
    for (auto where : {QStandardPaths::DesktopLocation, QStandardPaths::ApplicationsLocation,
                       QStandardPaths::GenericConfigLocation})
        QVERIFY(QDir(location(where)).removeRecursively() && QDir().mkpath(location(where)));
}

bool tst_install::pack(const QStringList &files, const QString &archive,
                       const QStringList &switches)
{
    static int packs = 0;
    const QString stage = tmp("stage" + QString::number(++packs));
    QFile::remove(archive);
    for (const QString &file : files) {
        if (file.endsWith('/') ? !QDir().mkpath(stage + '/' + file)
                               : !TestFiles::write(stage + '/' + file, file.toUtf8()))
            return false;
    }
    QDir().mkpath(QFileInfo(archive).path());
    return run("7z",
               QStringList{"a", "-bd", archive} + switches +
                   QDir(stage).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
               stage);
}

QStringList tst_install::install(const QString &archive, const QString &dir, bool is64Bit)
{
    InstallThread thread;
    thread.installDir = dir;
    thread.archivePath = archive;
    thread.is64Bit = is64Bit;
    QStringList events; // written by the worker only, read once it has ended
    connect(
        &thread, &InstallThread::installProgress, &thread,
        [&](double per) { events << QString::number(per); }, Qt::DirectConnection);
    connect(
        &thread, &InstallThread::installSuccess, &thread, [&] { events << "success"; },
        Qt::DirectConnection);
    connect(
        &thread, &InstallThread::installFailed, &thread,
        [&](int code) { events << QString("failed %1").arg(code); }, Qt::DirectConnection);
    thread.start();
    thread.wait();
    return events;
}

void tst_install::outcome_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("outcome");
    const auto row = [](const char *name, const char *setup, const char *outcome) {
        QTest::newRow(name) << QString(setup) << QString(outcome);
    };
    // The good package: a data file and the product; the distribution: one file of two listed
    // (the installer is left out), so the install's last step stays below 100.
    row("good package", "good", "0 35 70 85 success");
    row("archive missing", "missing", "0 failed 1");
    row("32-bit package, 64-bit wanted", "x86", "0 failed 3");
    row("32-bit package, 32-bit wanted", "x86 wanted", "success");
    row("no product executable", "no product", "0 failed 3");
    row("product executable is a folder", "product folder", "0 failed 3");
    row("entry climbs out", "parent", "0 failed 3");
    row("absolute entry", "absolute", "0 failed 3");
    row("link entry", "link", "0 failed 3");
    row("not an archive", "garbage", "0 failed 3");
    row("truncated archive", "truncated", "0 failed 3");
    row("damaged data, listing intact", "damaged", "0 failed 3");
    row("encrypted archive", "encrypted", "0 failed 3");
    row("folder named Uninstall", "bookkeeping Uninstall/x", "failed 4");
    row("folder named Qt5Encry.dll", "bookkeeping Qt5Encry.dll/x", "failed 4");
    row("folder named Uninstall.list", "bookkeeping Uninstall.list/x", "failed 4");
    row("uninstall list unwritable", "store", "failed 4");
    row("file in package and distribution", "clash", "failed 4");
    row("relative install folder", "relative", "0 failed 4");
    row("wildcard in the download folder", "wildcard", "success");
    row("no applications folder yet", "no menu", "success");
    row("links of the same name", "stale links", "success");
    row("earlier installation", "earlier", "success");
    row("user's files in the folder", "user files", "success");
    row("product folder is a link", "linked folder", "success");
    row("re-install cut short", "cut short", "failed 4");
}

void tst_install::outcome()
{
    QFETCH(QString, setup);
    QFETCH(QString, outcome);
    const QString exe = pkg + '/' + product;
    QStringList files{pkg + "/data/a.bin", exe};
    QString dir = m_dir;
    bool is64Bit = true;

    if (setup == "x86" || setup == "x86 wanted") {
        files.replaceInStrings(pkg, "Revanto_x86Minimal");
        is64Bit = setup == "x86";
    } else if (setup == "no product") {
        files.removeLast();
    } else if (setup == "product folder") {
        files.last() += "/inside.txt";
    } else if (setup.startsWith("bookkeeping ")) {
        files << pkg + '/' + setup.section(' ', 1);
    } else if (setup == "clash") {
        files << pkg + "/shipped.dll";
    } else if (setup == "wildcard") {
        m_dl = tmp("d*l ?[x]");
        m_archive = m_dl + "/lumerixtemp.7z";
    } else if (setup == "no menu") {
        QVERIFY(QDir(location(QStandardPaths::ApplicationsLocation)).removeRecursively());
    } else if (setup == "relative") {
        dir = "relative" + QLatin1String(Product::productFolderName);
    } else if (setup == "store") {
        QVERIFY(QDir().mkpath(
            location(QStandardPaths::GenericConfigLocation, "/kovra/uninstall-list.ini")));
    }
    if (setup == "parent" || setup == "absolute") {
        QVERIFY(TestFiles::write(tmp("outside/secret.txt"), "secret"));
        QVERIFY(pack(files, m_archive));
        const QString entry =
            setup == "parent" ? "../outside/secret.txt" : tmp("outside/secret.txt");
        QVERIFY(run("7z", {"a", "-bd", "-spf", m_archive, entry}, m_dl));
    } else if (setup == "link") {
        QVERIFY(pack(files, m_archive));
        QVERIFY(QDir().mkpath(tmp("linkstage/" + pkg)));
        QVERIFY(QFile::link(tmp("outside"), tmp("linkstage/" + pkg + "/out")));
        QVERIFY(run("7z", {"a", "-bd", m_archive, pkg}, tmp("linkstage")));
    } else if (setup == "garbage") {
        QVERIFY(TestFiles::write(m_archive, QByteArray(4096, 'x')));
    } else if (setup == "truncated" || setup == "damaged" || setup == "encrypted") {
        QVERIFY(pack(files, m_archive,
                     setup == "encrypted" ? QStringList{"-psecret", "-mx0"} : QStringList{"-mx0"}));
        // Stored data begins after the 32-byte signature header; the listing is at the end.
        QFile archive(m_archive);
        QVERIFY(archive.open(QIODevice::ReadWrite));
        if (setup == "truncated")
            QVERIFY(archive.resize(archive.size() - 40));
        else if (setup == "damaged")
            QVERIFY(archive.seek(33) && archive.putChar('#'));
    } else if (setup != "missing") {
        QVERIFY(pack(files, m_archive));
    }

    const QString linked = tmp("elsewhere");
    if (setup == "stale links") {
        QVERIFY(QFile::link(tmp("old/product"), desktopLink()));
        QVERIFY(QDir().mkpath(QFileInfo(startMenuLink()).path()));
        QVERIFY(QFile::link(tmp("old/product"), startMenuLink()));
    } else if (setup == "earlier" || setup == "cut short") {
        // An earlier installation, registered and linked into the folder.
        QVERIFY(pack({exe, pkg + "/gone.txt"}, tmp("earlier/lumerixtemp.7z")));
        QCOMPARE(install(tmp("earlier/lumerixtemp.7z"), dir).constLast(), QString("success"));
        QCOMPARE(UninstallEntry::command(name), dir + '/' + uninstaller);
        if (setup == "cut short") // the new package cannot be copied whole
            QVERIFY(pack({exe, pkg + "/shipped.dll"}, m_archive));
    } else if (setup == "user files") {
        QVERIFY(TestFiles::write(dir + "/Recovered photos/a.jpg", "photo"));
        QVERIFY(TestFiles::write(dir + ".old/kept", "taken"));
    } else if (setup == "linked folder") { // even one that holds only an installation
        QVERIFY(TestFiles::write(linked + "/keep.txt", "keep"));
        QVERIFY(TestFiles::write(linked + "/Uninstall.list",
                                 (dir + "/keep.txt," + dir + "/Uninstall.list,").toUtf8()));
        QVERIFY(QDir().mkpath(QFileInfo(dir).path()) && QFile::link(linked, dir));
    }
    const QStringList outsideBefore = entries(tmp("outside"));

    const QStringList events = install(m_archive, dir, is64Bit);
    QVERIFY2(events.join(' ').endsWith(outcome), qPrintable(events.join(' ')));
    QCOMPARE(entries(tmp("outside")), outsideBefore);
    QVERIFY(!QFileInfo::exists("relative"));

    if (!outcome.endsWith("success")) {
        // No registration, no links, and a failure gives the space back at once.
        QVERIFY(!registered());
        QVERIFY(!QFileInfo(desktopLink()).isSymLink() && !QFileInfo(startMenuLink()).isSymLink());
        QCOMPARE(entries(m_dl), QStringList());
        if (setup == "cut short") { // and the next install replaces the half-copied folder
            QVERIFY(pack({exe}, m_archive));
            QCOMPARE(install(m_archive, dir).constLast(), QString("success"));
            QVERIFY(!QFileInfo::exists(dir + ".old"));
        }
        return;
    }
    const QString productPath = dir + '/' + product;
    QVERIFY(QFileInfo(productPath).isFile());
    QCOMPARE(UninstallEntry::command(name), dir + '/' + uninstaller);
    QCOMPARE(QFile::symLinkTarget(desktopLink()), productPath);
    QCOMPARE(QFile::symLinkTarget(startMenuLink()), productPath);
    QCOMPARE(QFile::symLinkTarget(QFileInfo(startMenuLink()).path() + "/language8" + name + ".lnk"),
             dir + '/' + uninstaller);
    if (setup == "good") {
        QStringList expected{"Qt5Encry.dll", "Uninstall", "Uninstall.list", "data",
                             "data/a.bin",   product,     "shipped.dll"};
        expected.sort();
        QCOMPARE(entries(dir), expected);
        QCOMPARE(TestFiles::read(dir + "/Uninstall"), "rm -rf \"" + dir.toUtf8() + '"');
        QCOMPARE(TestFiles::read(dir + "/Qt5Encry.dll"),
                 QByteArray("Default,27758b275ff6cdbd98bc093ec9416b3d,0000000000000000"));
        const QStringList listed{"data/a.bin",     product,     "shipped.dll",
                                 "Uninstall.list", "Uninstall", "Qt5Encry.dll"};
        QCOMPARE(TestFiles::read(dir + "/Uninstall.list"),
                 (dir + '/' + listed.join(',' + dir + '/') + ',').toUtf8());
        const auto entry =
            Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + name);
        QCOMPARE(entry->value("DisplayIcon").toString(), productPath);
        QCOMPARE(entry->value("DisplayName").toString() + entry->value("Publisher").toString(),
                 name + name);
        QCOMPARE(entry->value("DisplayVersion").toString(), QString("1.2.1"));
    } else if (setup == "earlier") {
        QVERIFY(!QFileInfo::exists(dir + "/gone.txt") && !QFileInfo::exists(dir + ".old"));
    } else if (setup == "user files") { // moved aside whole, beside an earlier ".old"
        QCOMPARE(TestFiles::read(dir + ".old2/Recovered photos/a.jpg"), QByteArray("photo"));
        QCOMPARE(TestFiles::read(dir + ".old/kept"), QByteArray("taken"));
        QVERIFY(!QFileInfo::exists(dir + "/Recovered photos"));
    } else if (setup == "linked folder") {
        QCOMPARE(entries(linked), (QStringList{"Uninstall.list", "keep.txt"}));
        QVERIFY(!QFileInfo(dir).isSymLink());
    }
}

void tst_install::judgeListing_data()
{
    // Paths that climb out are the random-input test's; here the links and the sizes.
    QTest::addColumn<QString>("entries");
    QTest::addColumn<QString>("verdict");
    const auto row = [](const char *name, const char *entries, const char *verdict) {
        QTest::newRow(name) << QString(entries) << QString(verdict);
    };
    row("plain, sizes summed",
        "Path = P\nFolder = +\n\nPath = P/a..b\nSize = 5\n\nPath = Q\\x\nSize = 7\r\n", "12 P,Q");
    row("unix link", "Path = P/l\nAttributes = A lrwxrwxrwx\n", "link entry");
    row("reparse point", "Path = P/l\nAttributes = AL\n", "link entry");
    row("tar link", "Path = P/l\nSymbolic Link = /etc\n", "link entry");
    row("tar hard link", "Path = P/h\nHard Link = P/a\n", "link entry");
    row("name with a line break", "Path = P/a\n../../x\nSize = 1\n", "unreadable");
}

void tst_install::judgeListing()
{
    QFETCH(QString, entries);
    QFETCH(QString, verdict);
    const ArchiveGuard::Listing listing = ArchiveGuard::judgeListing(
        "Listing archive: ./a.7z\n\n--\nPath = ./a.7z\nType = 7z\nSize = 99\n\n----------\n" +
        entries);
    const QString judged = listing.refusal.isEmpty() ? QString::number(listing.unpackedBytes) +
                                                           ' ' + listing.topLevelEntries.join(',')
                                                     : listing.refusal;
    QVERIFY2(judged.startsWith(verdict), qPrintable(judged));
}

void tst_install::destructorWaitsForInstall()
{
    QVERIFY(pack({pkg + '/' + product}, m_archive));
    auto *thread = new InstallThread;
    thread->installDir = m_dir;
    thread->archivePath = m_archive;
    QSignalSpy success(thread, &InstallThread::installSuccess);
    thread->start();
    // Destroying a running thread would end the process; the install is waited for.
    delete thread;
    QCOMPARE(success.count(), 1);
}

QTEST_GUILESS_MAIN(tst_install)
#include "tst_install.moc"
