#include "app/loghandler.h"
#include "app/product.h"
#include "buildconfig.h"
#include "install/downloadmanager.h"
#include "install/installthread.h"
#include "install/taskthread.h"
#include "platform/platform.h"
#include "report/machineid.h"
#include "support/testfiles.h"
#include "support/vendorserver.h"
#include "ui/drivespace.h"
#include "ui/kovrasetuponline.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSettings>
#include <QStackedWidget>
#include <QStorageInfo>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

namespace {

// Texts of the Chinese catalogue, which the test installs.
const QString progressPrefix = QStringLiteral("正在安装，请稍后（已完成");
const QString failurePrefix = QStringLiteral("安装失败");
const QString closeTitle = QStringLiteral("提示");
const QString askExit = QStringLiteral("是否要退出安装程序？");
const QString askCloseFinished = QStringLiteral("已经安装成功，是否关闭安装程序？");

const int installTimeout = 120000;
const QString paced = QStringLiteral("slow-4096");

QString imageSet()
{
    return QLatin1String(Product::variantFlag ? "Resources_green/" : "Resources/");
}

QString displayName()
{
    return QCoreApplication::translate("InstallThread", Product::displayNameKey);
}

QStringList btnIds(const VendorServer &server)
{
    return server.recordValues(QStringLiteral("btnId"));
}

QStringList repeated(int count, const QString &text)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << text;
    return list;
}

QString numbers(const QList<int> &values)
{
    QStringList texts;
    for (int value : values)
        texts << QString::number(value);
    return texts.join(QLatin1Char(' '));
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QString downloadedPackage()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/') +
           QLatin1String(Product::packageFileName);
}

// The ids of the records the log file says were sent, oldest first.
QStringList loggedIds()
{
    QFile log(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
              QStringLiteral("/install_revanto.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList ids;
    const QRegularExpression sent(QStringLiteral("opration log:  \"([^\"]*)\"\r$"));
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QRegularExpressionMatch match = sent.match(QString::fromUtf8(line));
        if (match.hasMatch())
            ids << match.captured(1);
    }
    return ids;
}

// Answers the next modal box (message box or folder dialog) from the event loop that shows it.
class ModalAnswer : public QObject
{
public:
    // For a message box: the button to press.
    explicit ModalAnswer(QMessageBox::StandardButton button)
        : m_button(button)
    {
        arm();
    }
    // For the folder dialog: the folder to accept, or a null string to cancel.
    explicit ModalAnswer(const QString &folder)
        : m_folder(folder)
        , m_forDialog(true)
    {
        arm();
    }

    bool answered = false;
    QString title;
    QString text;

private:
    void arm()
    {
        QTimer::singleShot(20, this, [this] { poll(); });
    }
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal); box && !m_forDialog) {
            title = box->windowTitle();
            text = box->text();
            answered = true;
            box->button(m_button)->click();
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal); dialog && m_forDialog) {
            title = dialog->windowTitle();
            text = dialog->directory().absolutePath();
            answered = true;
            if (m_folder.isNull()) {
                dialog->reject();
            } else {
                dialog->setDirectory(m_folder);
                static_cast<QDialog *>(dialog)->accept();
            }
        } else {
            arm();
        }
    }

    QMessageBox::StandardButton m_button = QMessageBox::NoButton;
    QString m_folder;
    bool m_forDialog = false;
};

// Takes the URLs the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

class tst_WindowFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void defaults();
    void wholeInstall();
    void failureThenReinstall_data();
    void failureThenReinstall();
    void reinstallWhileDownloadEnds();
    void testChannel();
    void resultTexts_data();
    void resultTexts();
    void progressOutsideRange_data();
    void progressOutsideRange();
    void pressRules_data();
    void pressRules();
    void closeQuestion_data();
    void closeQuestion();
    void chooseFolder_data();
    void chooseFolder();
    void checkBoxAndSpaceCheck_data();
    void checkBoxAndSpaceCheck();
    void windowDrag_data();
    void windowDrag();
    void closeDuringStalledDownload();
    void closeDuringInstall();

private:
    kovraSetupOnline *openWindow(const QString &channel = QStringLiteral("setup_kvwin-5150"));
    template<typename T> T *widget(const char *name) const;
    bool usePackage(const QString &archive);
    // Presses the install button and waits for the finished page.
    bool installToEnd();
    void press(const char *name, QEvent::Type type = QEvent::MouseButtonPress);
    ModalAnswer *chooseFolder(const QString &folder);
    QString installDir() const;
    bool isInstalled(const QString &folder) const;

    QTemporaryDir m_home;
    QTemporaryDir m_packages;
    QTranslator m_chinese;
    std::unique_ptr<VendorServer> m_server;
    std::unique_ptr<kovraSetupOnline> m_window;
};

void tst_WindowFlow::initTestCase()
{
    // Everything the install touches stays in throw-away folders even when started by hand.
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_chinese.load(QStringLiteral(":/kovraSetupOnline/language/kovrasetuponline_zh.qm")));
    QCoreApplication::installTranslator(&m_chinese);

    QVERIFY(m_packages.isValid());
    QVERIFY(VendorServer::buildPackage(m_packages.filePath(QStringLiteral("x64.7z")),
                                       QStringLiteral("x64"), QStringLiteral("1M"), 4));
    // The same name holding only the 32-bit package folder: the 64-bit install finds nothing.
    QVERIFY(VendorServer::buildPackage(m_packages.filePath(QStringLiteral("x86.7z")),
                                       QStringLiteral("x86"), QStringLiteral("64K"), 2));
    // Many small files: an install that takes a while.
    QVERIFY(VendorServer::buildPackage(m_packages.filePath(QStringLiteral("many.7z")),
                                       QStringLiteral("x64"), QStringLiteral("4M"), 400));

    // The good package cut short, and with one byte of its packed data changed.
    QFile good(m_packages.filePath(QStringLiteral("x64.7z")));
    QVERIFY2(good.open(QIODevice::ReadOnly), qPrintable(good.errorString()));
    const QByteArray bytes = good.readAll();
    QVERIFY(TestFiles::write(m_packages.filePath(QStringLiteral("truncated.7z")),
                             bytes.left(bytes.size() / 2)));
    QByteArray corrupt = bytes;
    corrupt[corrupt.size() / 2] = char(corrupt.at(corrupt.size() / 2) ^ 0x55);
    QVERIFY(TestFiles::write(m_packages.filePath(QStringLiteral("corrupt.7z")), corrupt));
}

void tst_WindowFlow::init()
{
    QDir(m_home.path()).removeRecursively();
    QVERIFY(QDir().mkpath(m_home.path()));
    QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)));
    QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation)));
    m_server = std::make_unique<VendorServer>();
    QVERIFY(m_server->start(VendorServer::productionPort()));
    QVERIFY(usePackage(QStringLiteral("x64.7z")));
    // Records are posted side by side and may overtake each other on the wire; a download of
    // a quarter second keeps the press and the download's result apart.
    m_server->setPackageMode(paced);
}

void tst_WindowFlow::cleanup()
{
    m_window.reset();
    m_server.reset();
}

void tst_WindowFlow::cleanupTestCase()
{
    QCoreApplication::removeTranslator(&m_chinese);
}

kovraSetupOnline *tst_WindowFlow::openWindow(const QString &channel)
{
    m_window = std::make_unique<kovraSetupOnline>();
    m_window->setChannel(channel);
    m_window->move(100, 100);
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window.get()))
        qWarning("the window was not shown");
    return m_window.get();
}

template<typename T> T *tst_WindowFlow::widget(const char *name) const
{
    T *found = m_window->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

bool tst_WindowFlow::usePackage(const QString &archive)
{
    const QString target =
        m_server->packageFolder() + QLatin1Char('/') + VendorServer::packageName();
    QFile::remove(target);
    return QFile::copy(m_packages.filePath(archive), target);
}

void tst_WindowFlow::press(const char *name, QEvent::Type type)
{
    auto *target = widget<QWidget>(name);
    if (type == QEvent::MouseButtonPress)
        QTest::mousePress(target, Qt::LeftButton);
    else
        QTest::mouseRelease(target, Qt::LeftButton);
}

ModalAnswer *tst_WindowFlow::chooseFolder(const QString &folder)
{
    auto *answer = new ModalAnswer(folder);
    answer->setParent(m_window.get());
    QTest::mouseClick(widget<QPushButton>("btnDir"), Qt::LeftButton);
    return answer;
}

QString tst_WindowFlow::installDir() const
{
    return QDir::homePath() + QLatin1String(Product::productFolderName);
}

bool tst_WindowFlow::isInstalled(const QString &folder) const
{
    for (const char *name : {"Uninstall", "Qt5Encry.dll", "Uninstall.list"}) {
        if (!QFileInfo::exists(folder + QLatin1Char('/') + QLatin1String(name)))
            return false;
    }
    return QFileInfo(folder + QLatin1String(Product::productExecutable)).isExecutable();
}

bool tst_WindowFlow::installToEnd()
{
    QTest::mousePress(widget<QWidget>("btnSetupview_2"), Qt::LeftButton);
    auto *pages = widget<QStackedWidget>("stackedWidget");
    QDeadlineTimer deadline(installTimeout);
    while (pages->currentIndex() != 3 && !deadline.hasExpired()) {
        if (widget<QPushButton>("pushButton_3")->isVisible()) {
            qWarning("the install failed: %s", qPrintable(widget<QLabel>("proTxt")->text()));
            return false;
        }
        QTest::qWait(50);
    }
    return pages->currentIndex() == 3;
}

void tst_WindowFlow::defaults()
{
    openWindow();
    QCOMPARE(widget<QStackedWidget>("stackedWidget")->currentIndex(), 1);
    QCOMPARE(widget<QLineEdit>("lineEdit")->text(), installDir());

    // The home folder's volume decides, by the same measure the window took.
    const bool room =
        quint64(QStorageInfo(QDir::homePath()).bytesFree()) >= DriveSpace::minimumFreeBytes;
    QCOMPARE(widget<QWidget>("btnSetupview_2")->isEnabled(), room);
    QCOMPARE(widget<QWidget>("btnSetupview")->isEnabled(), room);
    QCOMPARE(widget<QLabel>("label_7")->isVisibleTo(m_window.get()), !room);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+\\.\\d\\dGB$"))
                 .match(widget<QLabel>("lb_size2")->text())
                 .hasMatch(),
             qPrintable(widget<QLabel>("lb_size2")->text()));
    QVERIFY(widget<QPushButton>("pushButton_3")->isHidden());
    QVERIFY(widget<QLabel>("lbClose")->isVisible());
}

void tst_WindowFlow::wholeInstall()
{
    // A package that takes about half a second, so the bar shows the download as it goes.
    m_server->setPackageMode(QStringLiteral("slow-2048"));
    openWindow();
    auto *bar = widget<QProgressBar>("progressBar");
    QList<int> values;
    connect(bar, &QProgressBar::valueChanged, this, [&values](int value) { values << value; });

    QTest::mousePress(widget<QWidget>("btnSetupview_2"), Qt::LeftButton);
    QCOMPARE(widget<QStackedWidget>("stackedWidget")->currentIndex(), 2);
    QVERIFY(widget<QLabel>("lbClose")->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(widget<QStackedWidget>("stackedWidget")->currentIndex(), 3,
                              installTimeout);
    QVERIFY(widget<QLabel>("lbClose")->isVisible());
    QVERIFY(widget<QPushButton>("pushButton_3")->isHidden());

    // Download 0 to 80 first, then the install from 80 up, never backwards, never outside.
    QVERIFY2(!values.isEmpty(), "the bar never moved");
    const int firstInstall =
        int(std::find_if(values.cbegin(), values.cend(), [](int v) { return v > 80; }) -
            values.cbegin());
    QVERIFY2(firstInstall < values.size(), "the bar never went past the download");
    QVERIFY2(firstInstall > 0 && values.at(0) < 80, "the download showed no progress of its own");
    QVERIFY(values.contains(80));
    for (int i = 0; i < values.size(); ++i) {
        QVERIFY(values.at(i) >= 0 && values.at(i) <= 100);
        if (i > 0)
            QVERIFY2(values.at(i) >= values.at(i - 1), qPrintable(numbers(values)));
    }
    QCOMPARE(widget<QLabel>("proTxt")->text(),
             progressPrefix + QString::number(bar->value()) + QStringLiteral("%）"));

    // The product, the bookkeeping files, the links and the uninstall entry.
    const QString dir = installDir();
    QVERIFY2(isInstalled(dir), qPrintable(dir));
    QVERIFY(QFileInfo::exists(dir + QStringLiteral("/data/filler-0001.bin")));
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
                            QLatin1Char('/') + displayName() + QStringLiteral(".lnk");
    QCOMPARE(QFileInfo(desktop).symLinkTarget(), dir + QLatin1String(Product::productExecutable));
    const QString startMenu =
        QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) + QLatin1Char('/') +
        displayName() + QLatin1Char('/') + displayName() + QStringLiteral(".lnk");
    QCOMPARE(QFileInfo(startMenu).symLinkTarget(), dir + QLatin1String(Product::productExecutable));
    QCOMPARE(Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + displayName())
                 ->value(QStringLiteral("UninstallString"))
                 .toString(),
             dir + QLatin1String(Product::uninstallerExecutable));

    // The records, in order, with this run's channel and machine.
    QVERIFY(m_server->waitForRecords(3));
    QCOMPARE(btnIds(*m_server), QStringList({"pc-install-go", "pc-load-ok", "pc-install-success"}));
    QCOMPARE(m_server->recordValues(QStringLiteral("apkChannel")), repeated(3, "kvwin"));
    QCOMPARE(m_server->recordValues(QStringLiteral("phoneId")), repeated(3, "5150"));
    QCOMPARE(m_server->recordValues(QStringLiteral("pcId")), repeated(3, getMachineId()));
    QCOMPARE(m_server->recordValues(QStringLiteral("apkId")),
             repeated(3, QString::number(Product::apkId)));
    QCOMPARE(m_server->requestPaths(QStringLiteral("GET")),
             QStringList{QLatin1String(Product::packagePath)});
}

void tst_WindowFlow::failureThenReinstall_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("ids");

    const QStringList downloadFailed{"pc-install-go", "pc-load-failedcode-0"};
    const QStringList installFailed{"pc-install-go", "pc-load-ok", "pc-install-failedcode-3"};
    // Nothing listens on the server's port: the records cannot leave either.
    QTest::newRow("server down") << "down"
                                 << "x64.7z" << failurePrefix + "2-!0" << downloadFailed;
    QTest::newRow("connection closed without an answer")
        << "hangup"
        << "x64.7z" << failurePrefix + "2-!0" << downloadFailed;
    QTest::newRow("package missing on the server")
        << "status-404"
        << "x64.7z" << failurePrefix + "2-!0" << downloadFailed;
    QTest::newRow("server error") << "status-500"
                                  << "x64.7z" << failurePrefix + "2-!0" << downloadFailed;
    QTest::newRow("connection dropped halfway")
        << "drop"
        << "x64.7z" << failurePrefix + "2-!0" << downloadFailed;
    QTest::newRow("package without the 64-bit folder")
        << paced << "x86.7z" << failurePrefix + "1-!3" << installFailed;
    QTest::newRow("truncated package")
        << paced << "truncated.7z" << failurePrefix + "1-!3" << installFailed;
    QTest::newRow("corrupt package")
        << paced << "corrupt.7z" << failurePrefix + "1-!3" << installFailed;
}

void tst_WindowFlow::failureThenReinstall()
{
    QFETCH(QString, mode);
    QFETCH(QString, package);
    QFETCH(QString, text);
    QFETCH(QStringList, ids);

    const bool serverDown = mode == QLatin1String("down");
    QVERIFY(usePackage(package));
    // As in the installer, the log file tells what was sent while the server is away.
    QtMessageHandler previousHandler = nullptr;
    if (serverDown) {
        m_server->stop();
        previousHandler = qInstallMessageHandler(logMessageHandler);
    } else {
        m_server->setPackageMode(mode);
    }
    const auto restoreHandler = qScopeGuard([serverDown, previousHandler] {
        if (serverDown)
            qInstallMessageHandler(previousHandler);
    });

    openWindow();
    auto *reinstall = widget<QPushButton>("pushButton_3");
    QTest::mousePress(widget<QWidget>("btnSetupview_2"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(reinstall->isVisible(), installTimeout);
    QCOMPARE(widget<QLabel>("proTxt")->text(), text);
    QVERIFY(widget<QLabel>("lbClose")->isVisible());
    QCOMPARE(widget<QStackedWidget>("stackedWidget")->currentIndex(), 2);
    if (text.contains(QLatin1String("2-!")))
        QVERIFY2(!QFileInfo::exists(downloadedPackage()), "a failed download left a package");
    else
        QVERIFY(!QFileInfo::exists(installDir() + QLatin1String(Product::productExecutable)));
    if (serverDown) {
        QTRY_COMPARE(loggedIds(), ids);
        QVERIFY(m_server->start(VendorServer::productionPort()));
    } else {
        // Sent within moments of each other, so they may overtake one another on the wire.
        QVERIFY(m_server->waitForRecords(ids.size()));
        QCOMPARE(sorted(btnIds(*m_server)), sorted(ids));
    }
    const int recordsBefore = serverDown ? 0 : ids.size();
    const int requestsBefore = serverDown ? 0 : 1;

    // The package is back: the re-install starts from 0 and runs the whole download again.
    m_server->setPackageMode(paced);
    QVERIFY(usePackage(QStringLiteral("x64.7z")));
    auto *bar = widget<QProgressBar>("progressBar");
    QTest::mouseClick(reinstall, Qt::LeftButton);
    QCOMPARE(bar->value(), 0);
    QVERIFY(reinstall->isHidden());
    QVERIFY(widget<QLabel>("lbClose")->isHidden());
    QCOMPARE(widget<QLabel>("proTxt")->text(), progressPrefix + QStringLiteral("0%）"));
    QTRY_COMPARE_WITH_TIMEOUT(widget<QStackedWidget>("stackedWidget")->currentIndex(), 3,
                              installTimeout);
    QVERIFY(isInstalled(installDir()));

    QVERIFY(m_server->waitForRecords(recordsBefore + 3));
    QVERIFY2(btnIds(*m_server).mid(recordsBefore) ==
                 QStringList({"pc-install-failed", "pc-load-ok", "pc-install-success"}),
             qPrintable(btnIds(*m_server).join(' ')));
    QCOMPARE(m_server->requestPaths(QStringLiteral("GET")),
             repeated(requestsBefore + 1, QLatin1String(Product::packagePath)));
}

void tst_WindowFlow::reinstallWhileDownloadEnds()
{
    m_server->setPackageMode(QStringLiteral("status-404"));
    openWindow();
    auto *download = m_window->findChild<DownloadManager *>();
    QVERIFY(download);

    // The failed download holds its thread after reporting, until released from another
    // thread: the re-install press comes while that thread is still ending.
    QSemaphore gate;
    const QMetaObject::Connection hold = connect(
        download, &DownloadManager::downLoadErr, download, [&gate] { gate.acquire(); },
        Qt::DirectConnection);
    QTest::mousePress(widget<QWidget>("btnSetupview_2"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(widget<QPushButton>("pushButton_3")->isVisible(), installTimeout);
    QVERIFY(m_window->findChild<TaskThread *>()->isRunning());
    disconnect(hold);

    m_server->setPackageMode(paced);
    // Gives the press time to arrive first; the outcome is checked below, not the time.
    std::thread releaser([&gate] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        gate.release();
    });
    QTest::mouseClick(widget<QPushButton>("pushButton_3"), Qt::LeftButton);
    releaser.join();
    // An ignored start leaves the bar at 0 for good.
    QTRY_COMPARE_WITH_TIMEOUT(widget<QStackedWidget>("stackedWidget")->currentIndex(), 3, 30000);
    QCOMPARE(m_server->requestPaths(QStringLiteral("GET")).size(), 2);
    QVERIFY(m_server->waitForRecords(5));
}

void tst_WindowFlow::testChannel()
{
    VendorServer testServer;
    QVERIFY(testServer.start(VendorServer::testPort()));
    openWindow(QStringLiteral("x_web#kvtst-1"));
    QVERIFY(installToEnd());

    // The records go to the test server; the package still comes from the production server.
    QVERIFY(testServer.waitForRecords(3));
    QCOMPARE(btnIds(testServer),
             QStringList({"pc-install-go", "pc-load-ok", "pc-install-success"}));
    QCOMPARE(testServer.recordValues(QStringLiteral("apkChannel")), repeated(3, "web"));
    QCOMPARE(testServer.recordValues(QStringLiteral("phoneId")), repeated(3, "1"));
    QVERIFY(m_server->records().isEmpty());
    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(m_server->requestPaths(QStringLiteral("GET")),
             QStringList{QLatin1String(Product::packagePath)});
}

void tst_WindowFlow::resultTexts_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("id");

    QTest::newRow("no downloader")
        << QByteArray("updateFailed") << -100 << failurePrefix + "2-!-100"
        << "pc-load-failedcode--100";
    QTest::newRow("file not copied") << QByteArray("installFailed") << 4 << failurePrefix + "1-!4"
                                     << "pc-install-failedcode-4";
}

void tst_WindowFlow::resultTexts()
{
    QFETCH(QByteArray, slot);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QString, id);

    openWindow();
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), slot.constData(), Q_ARG(int, code)));
    QCOMPARE(widget<QLabel>("proTxt")->text(), text);
    QVERIFY(!widget<QPushButton>("pushButton_3")->isHidden());
    QVERIFY(widget<QLabel>("lbClose")->isVisible());
    QVERIFY(m_server->waitForRecords(1));
    QCOMPARE(btnIds(*m_server), QStringList{id});
}

void tst_WindowFlow::progressOutsideRange_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<double>("per");
    QTest::addColumn<int>("value");

    const double infinity = std::numeric_limits<double>::infinity();
    // The bar holds 40 (download at 50) before each report.
    QTest::newRow("download 79.9") << QByteArray("updateProgress") << 79.9 << 63;
    QTest::newRow("not a number") << QByteArray("updateProgress") << std::nan("") << 40;
    QTest::newRow("infinite") << QByteArray("updateProgress") << infinity << 40;
    QTest::newRow("negative") << QByteArray("updateProgress") << -3.0 << 0;
    QTest::newRow("over a hundred") << QByteArray("installProgress") << 250.0 << 80;
}

void tst_WindowFlow::progressOutsideRange()
{
    QFETCH(QByteArray, slot);
    QFETCH(double, per);
    QFETCH(int, value);

    openWindow();
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), "updateProgress", Q_ARG(double, 50.0)));
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), slot.constData(), Q_ARG(double, per)));
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), value);
    QCOMPARE(widget<QLabel>("proTxt")->text(),
             progressPrefix + QString::number(value) + QStringLiteral("%）"));
}

void tst_WindowFlow::pressRules_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("release");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<int>("page");

    QTest::newRow("minimise icon pressed")
        << QByteArray("label_min") << false << QStringList() << 1;
    QTest::newRow("minimise icon released")
        << QByteArray("label_min") << true << QStringList{"pc-install-min"} << 1;
    QTest::newRow("close icon released") << QByteArray("lbClose") << true << QStringList() << 1;
    QTest::newRow("start button released")
        << QByteArray("btnSetupview_3") << true << QStringList() << 1;
    QTest::newRow("agreement link")
        << QByteArray("lb_agreement_2") << false << QStringList{"pc-install-agreement"} << 1;
    QTest::newRow("quick page agreement link")
        << QByteArray("lb_agreement") << false << QStringList{"pc-install-agreement"} << 1;
    QTest::newRow("custom install link")
        << QByteArray("lb_custom") << false << QStringList{"pc-install-custom"} << 1;
    QTest::newRow("install caption")
        << QByteArray("label_13") << false << QStringList{"pc-install-go"} << 2;
    QTest::newRow("quick install button")
        << QByteArray("btnSetupview") << false << QStringList{"pc-install-go"} << 2;
}

void tst_WindowFlow::pressRules()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, release);
    QFETCH(QStringList, ids);
    QFETCH(int, page);

    // An install that starts stays in its download.
    m_server->setPackageMode(QStringLiteral("stall"));
    UrlCatcher browser;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
    auto restoreBrowser =
        qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); });

    openWindow();
    press(name.constData(), release ? QEvent::MouseButtonRelease : QEvent::MouseButtonPress);
    QVERIFY(m_server->waitForRecords(ids.size()));
    // A last press whose record is known shows that nothing else was sent before it.
    press("label_8");
    const QStringList expected = ids + QStringList{"pc-install-check"};
    QVERIFY(m_server->waitForRecords(expected.size()));
    QCOMPARE(btnIds(*m_server), expected);

    QCOMPARE(widget<QStackedWidget>("stackedWidget")->currentIndex(), page);
    QCOMPARE(m_window->isMinimized(), ids.contains(QStringLiteral("pc-install-min")));
    const QList<QUrl> opened = ids.contains(QStringLiteral("pc-install-agreement"))
                                   ? QList<QUrl>{QUrl(QLatin1String(BuildConfig::agreementHostUrl) +
                                                      QStringLiteral("/agreement.html"))}
                                   : QList<QUrl>();
    QCOMPARE(browser.urls, opened);
    QCOMPARE(widget<QLabel>("lbClose")->isHidden(), page == 2);
}

void tst_WindowFlow::closeQuestion_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("yes");

    QTest::newRow("No before the install") << false << false;
    QTest::newRow("Yes before the install") << false << true;
    QTest::newRow("No after the install") << true << false;
    QTest::newRow("Yes after the install") << true << true;
}

void tst_WindowFlow::closeQuestion()
{
    QFETCH(bool, installed);
    QFETCH(bool, yes);
    const QMessageBox::StandardButton answer = yes ? QMessageBox::Yes : QMessageBox::No;

    openWindow();
    QStringList ids;
    if (installed) {
        QVERIFY(installToEnd());
        ids << "pc-install-go"
            << "pc-load-ok"
            << "pc-install-success";
        QVERIFY(m_server->waitForRecords(ids.size()));
    }
    ModalAnswer box(answer);
    press("lbClose");
    QVERIFY(box.answered);
    QCOMPARE(box.title, closeTitle);
    QCOMPARE(box.text, installed ? askCloseFinished : askExit);
    QCOMPARE(m_window->isVisible(), answer == QMessageBox::No);
    ids << "pc-install-close";
    QVERIFY(m_server->waitForRecords(ids.size()));
    QCOMPARE(btnIds(*m_server), ids);
}

void tst_WindowFlow::chooseFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("enabled");

    const QString name = QLatin1String(Product::productFolderName);
    const QString temp = QDir::tempPath();
    QTest::newRow("cancelled") << QString() << "<default>" << true;
    QTest::newRow("a folder with room") << temp << temp + name << true;
    QTest::newRow("volume root") << "/" << name << true;
    // A pseudo file system: the drive scan leaves it out, so it counts as too small.
    QTest::newRow("folder on an unscanned volume") << "/proc/sys"
                                                   << "/proc/sys" + name << false;
}

void tst_WindowFlow::chooseFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, shown);
    QFETCH(bool, enabled);
    if (shown == QLatin1String("<default>"))
        shown = installDir();
    if (enabled && quint64(QStorageInfo(folder.isEmpty() ? QDir::homePath() : folder).bytesFree()) <
                       DriveSpace::minimumFreeBytes)
        QSKIP("this machine has too little free space for the case");

    openWindow();
    ModalAnswer *dialog = chooseFolder(folder);
    QVERIFY(dialog->answered);
    QCOMPARE(dialog->title, QStringLiteral("Open Directory"));
    // The dialog opens in the folder chosen last (the home folder at first).
    QCOMPARE(dialog->text, QDir::homePath());
    QCOMPARE(widget<QLineEdit>("lineEdit")->text(), shown);
    QCOMPARE(widget<QWidget>("btnSetupview_2")->isEnabled(), enabled);
    QCOMPARE(widget<QWidget>("btnSetupview")->isEnabled(), enabled);
    QCOMPARE(widget<QLabel>("label_7")->isVisibleTo(m_window.get()), !enabled);
    QCOMPARE(widget<QLabel>("lb_size2")->text().isEmpty(), !enabled);
    QVERIFY(m_server->waitForRecords(1));
    QCOMPARE(btnIds(*m_server), QStringList{"pc-install-selectdir"});

    if (folder.isEmpty())
        return;
    // The next dialog opens in the folder chosen this time.
    ModalAnswer *again = chooseFolder(QString());
    QVERIFY(again->answered);
    QCOMPARE(again->text, QDir(folder).absolutePath());
    QVERIFY(m_server->waitForRecords(2));
}

void tst_WindowFlow::checkBoxAndSpaceCheck_data()
{
    QTest::addColumn<bool>("boxLast");
    QTest::newRow("ticked again after a refused folder") << true;
    QTest::newRow("a folder with room after the box was unticked") << false;
}

void tst_WindowFlow::checkBoxAndSpaceCheck()
{
    QFETCH(bool, boxLast);
    auto imageOf = [this](const char *name) {
        return widget<QLabel>(name)->styleSheet();
    };
    const QString ticked = QStringLiteral("image: url(:/kovraSetupOnline/") + imageSet() +
                           QStringLiteral("agree_agreement.png);");
    const QString unticked = QStringLiteral("image: url(:/kovraSetupOnline/") + imageSet() +
                             QStringLiteral("no_check.png);");

    openWindow();
    auto *install = widget<QWidget>("btnSetupview_2");
    if (boxLast) {
        chooseFolder(QStringLiteral("/proc/sys"));
        QVERIFY(!install->isEnabled());
        press("label_8");
        QVERIFY(!install->isEnabled());
        QCOMPARE(imageOf("label_8"), unticked);
        press("label_8");
        // The ticked box wins over the space check that ran before it.
        QVERIFY(install->isEnabled());
        QVERIFY(widget<QWidget>("btnSetupview")->isEnabled());
        QVERIFY(widget<QLabel>("label_7")->isVisible());
        QCOMPARE(imageOf("label_8"), ticked);
        QCOMPARE(imageOf("label_4"), ticked);
    } else {
        press("label_8");
        QVERIFY(!install->isEnabled());
        QCOMPARE(imageOf("label_4"), unticked);
        // A press on the disabled button does nothing.
        QTest::mousePress(install, Qt::LeftButton);
        QCOMPARE(widget<QStackedWidget>("stackedWidget")->currentIndex(), 1);
        chooseFolder(QDir::tempPath());
        // The space check that ran last wins over the unticked box.
        QVERIFY(install->isEnabled());
        QVERIFY(widget<QWidget>("btnSetupview")->isEnabled());
        QCOMPARE(imageOf("label_8"), unticked);
    }
    const QStringList ids =
        boxLast ? QStringList{"pc-install-selectdir", "pc-install-check", "pc-install-check"}
                : QStringList{"pc-install-check", "pc-install-selectdir"};
    QVERIFY(m_server->waitForRecords(ids.size()));
    QCOMPARE(sorted(btnIds(*m_server)), sorted(ids));
}

void tst_WindowFlow::windowDrag_data()
{
    QTest::addColumn<bool>("left");
    QTest::addColumn<bool>("moves");
    QTest::newRow("left button") << true << true;
    QTest::newRow("right button") << false << false;
}

void tst_WindowFlow::windowDrag()
{
    QFETCH(bool, left);
    const Qt::MouseButton button = left ? Qt::LeftButton : Qt::RightButton;
    QFETCH(bool, moves);

    openWindow();
    auto *frame = widget<QWidget>("frame");
    const QPoint grabbed(300, 40);
    const QPoint start = m_window->pos();
    const QPoint pressedAt = frame->mapToGlobal(grabbed);
    auto send = [frame](QEvent::Type type, QPoint global, Qt::MouseButton which,
                        Qt::MouseButtons held) {
        QMouseEvent event(type, frame->mapFromGlobal(global), global, which, held, Qt::NoModifier);
        QApplication::sendEvent(frame, &event);
    };
    // Through the frame, as a real press: the frame leaves it to the window.
    send(QEvent::MouseButtonPress, pressedAt, button, button);
    const QPoint cursor = pressedAt + QPoint(37, 23);
    send(QEvent::MouseMove, cursor, Qt::NoButton, button);
    send(QEvent::MouseMove, cursor + QPoint(5, 5), Qt::NoButton, button);
    send(QEvent::MouseMove, cursor, Qt::NoButton, button);

    if (moves) {
        QTRY_COMPARE(m_window->pos(), start + QPoint(37, 23));
        // The grabbed point stays under the cursor.
        QCOMPARE(frame->mapToGlobal(grabbed), cursor);
    } else {
        QTest::qWait(100);
        QCOMPARE(m_window->pos(), start);
    }
    send(QEvent::MouseButtonRelease, cursor, button, Qt::NoButton);
    // After the release a move with the button held (a press elsewhere) drags nothing.
    const QPoint settled = m_window->pos();
    send(QEvent::MouseMove, cursor + QPoint(50, 50), Qt::NoButton, Qt::LeftButton);
    QTest::qWait(100);
    QCOMPARE(m_window->pos(), settled);
}

void tst_WindowFlow::closeDuringStalledDownload()
{
    m_server->setPackageMode(QStringLiteral("stall"));
    openWindow();
    QList<int> failures;
    connect(m_window->findChild<TaskThread *>(), &TaskThread::updateFailed, this,
            [&failures](int code) { failures << code; });
    QTest::mousePress(widget<QWidget>("btnSetupview_2"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!m_server->requests().isEmpty(), 30000);
    QVERIFY(m_window->findChild<TaskThread *>()->isRunning());

    // The window goes while the download hangs: the download ends, nothing is left running.
    QPointer<QThread> download = m_window->findChild<TaskThread *>();
    m_window.reset();
    QVERIFY(download.isNull());
    QTest::qWait(200);
    QVERIFY(failures.isEmpty());
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(
        !QFileInfo::exists(downloads + QLatin1Char('/') + QLatin1String(Product::packageFileName)));
}

void tst_WindowFlow::closeDuringInstall()
{
    QVERIFY(usePackage(QStringLiteral("many.7z")));
    openWindow();
    auto *install = m_window->findChild<InstallThread *>();
    QVERIFY(install);

    // The install holds at its first report until released from another thread, so the
    // window is surely torn down while the install runs.
    QSemaphore reached;
    QSemaphore gate;
    std::atomic_bool released{false};
    connect(
        install, &InstallThread::installProgress, install,
        [&reached, &gate](double per) {
            if (per == 0) {
                reached.release();
                gate.acquire();
            }
        },
        Qt::DirectConnection);
    QTest::mousePress(widget<QWidget>("btnSetupview_2"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(reached.available() == 1, installTimeout);

    // Gives the window time to begin its teardown; the order is checked below, not the time.
    std::thread releaser([&gate, &released] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        released = true;
        gate.release();
    });
    m_window.reset();
    const bool waited = released;
    releaser.join();
    QVERIFY2(waited, "the window went before the install ended");
    QVERIFY(isInstalled(installDir()));
    QCOMPARE(Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + displayName())
                 ->value(QStringLiteral("UninstallString"))
                 .toString(),
             installDir() + QLatin1String(Product::uninstallerExecutable));
}

QTEST_MAIN(tst_WindowFlow)
#include "tst_windowflow.moc"
