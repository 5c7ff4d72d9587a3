#include "ui/kovrasetuponline.h"

#include "core/buildconfig.h"
#include "core/channelmanager.h"
#include "core/product.h"
#include "install/installthread.h"
#include "install/taskthread.h"
#include "platform/platform.h"
#include "report/operationlog.h"
#include "ui/drivespace.h"
#include "ui/greenstylesheets.h"
#include "ui/progressmapping.h"
#include "ui/textfit.h"

#include <QCloseEvent>
#include <QColor>
#include <QDebug>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGraphicsDropShadowEffect>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <cstdio>
#include <cstdlib>

kovraSetupOnline::kovraSetupOnline(QWidget *parent)
    : QWidget(parent)
    , serverUrl(QString::fromLatin1(BuildConfig::productionServerUrl))
{
    ui.setupUi(this);

    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
    setWindowIcon(QIcon(QStringLiteral(":/kovraSetupOnline/Resources/about_us_logo.png")));
    // The 5-pixel margin around the white frame stays clear and carries the shadow.
    setAttribute(Qt::WA_TranslucentBackground);

    auto *shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0, 0);
    QColor shadowColor(QStringLiteral("#000000"));
    shadowColor.setAlphaF(0.3);
    shadow->setColor(shadowColor);
    shadow->setBlurRadius(10);
    ui.frame->setGraphicsEffect(shadow);

    // The clickable labels and plain-widget buttons report their presses through the filter.
    for (QWidget *watched :
         {static_cast<QWidget *>(ui.lbClose), static_cast<QWidget *>(ui.lb_agreement),
          static_cast<QWidget *>(ui.lb_agreement_2), static_cast<QWidget *>(ui.lb_custom),
          ui.btnSetupview, ui.btnSetupview_2, ui.btnSetupview_3, static_cast<QWidget *>(ui.label_4),
          static_cast<QWidget *>(ui.label_8), static_cast<QWidget *>(ui.label_min)})
        watched->installEventFilter(this);

    operationLog = nullptr;
    agreementChecked = true;
    serverUrl = QString::fromLatin1(BuildConfig::productionServerUrl);

    if (Product::variantFlag)
        applyAlternativeBrand();
    TextFit::fitWindow(
        this, {{ui.label, ui.label_6}, {ui.label_13, ui.label_15}, {ui.label_28, ui.label_29}});

    ui.stackedWidget->setCurrentIndex(CustomInstallPage);
    ui.pushButton_3->hide();
    phase = Downloading;

    setUpWorkers();
}

kovraSetupOnline::~kovraSetupOnline()
{
    // A system close (Alt+F4) can come while a worker runs: its reports are dropped first, so no
    // slot runs on a window being torn down, then the download is ended and the install waited
    // for while every widget is still in place. A running thread is never destroyed.
    taskThread->disconnect(this);
    installThread->disconnect(this);
    taskThread->stop();
    installThread->wait();
}

void kovraSetupOnline::applyAlternativeBrand()
{
    setWindowIcon(QIcon(QStringLiteral(":/kovraSetupOnline/Resources_green/about_us_logo.png")));
    ui.label_2->resize(110, 76);
    ui.label_17->resize(110, 76);

    ui.btnSetupview->setStyleSheet(g_greenActionButtonStyleSheet);
    ui.btnSetupview_2->setStyleSheet(g_greenActionButtonStyleSheet);
    ui.btnSetupview_3->setStyleSheet(g_greenActionButtonStyleSheet);
    ui.btnDir->setStyleSheet(g_greenBrowseButtonStyleSheet);

    const QString greenText = QStringLiteral("font-size:14px;\t\t\t         "
                                             "font-family:Microsoft YaHei;\t\t             "
                                             "font-weight:400;\t                 "
                                             "color:#21AD36;");
    const QString greenLink =
        greenText + QStringLiteral("\t\t             text-decoration:underline;");
    ui.lb_agreement->setStyleSheet(greenLink);
    ui.lb_agreement_2->setStyleSheet(greenLink);
    ui.lb_size1->setStyleSheet(greenText);
    ui.lb_size2->setStyleSheet(greenText);

    ui.label_3->setText(tr("language6"));
    ui.label_16->setText(tr("language6"));
    ui.label_30->setText(QStringLiteral("Zentaro数据恢复"));

    // Every image of the labels comes from the green set, whatever label shows it.
    const QString standardSet = QStringLiteral("Resources/");
    const QString greenSet = QStringLiteral("Resources_green/");
    const QList<QLabel *> labels = findChildren<QLabel *>();
    for (QLabel *label : labels) {
        QString sheet = label->styleSheet();
        if (!sheet.contains(standardSet))
            continue;
        qDebug() << sheet << "old";
        sheet.replace(standardSet, greenSet);
        qDebug() << sheet << "new";
        label->setStyleSheet(sheet);
    }
}

void kovraSetupOnline::setUpWorkers()
{
    taskThread = new TaskThread(this);
    connect(taskThread, &TaskThread::updateProgress, this, &kovraSetupOnline::updateProgress);
    connect(taskThread, &TaskThread::updateSuccess, this, &kovraSetupOnline::updateSuccess);
    connect(taskThread, &TaskThread::updateFailed, this, &kovraSetupOnline::updateFailed);

    installThread = new InstallThread(this);
    connect(installThread, &InstallThread::installProgress, this,
            &kovraSetupOnline::installProgress);
    connect(installThread, &InstallThread::installSuccess, this, &kovraSetupOnline::installSuccess);
    connect(installThread, &InstallThread::installFailed, this, &kovraSetupOnline::installFailed);
    connect(installThread, &InstallThread::productRunning, this, [this] { productRunning = true; });

    scanDrives();
    const QString defaultRoot = Platform::defaultInstallRoot();
    const QString defaultDrive = Platform::driveKey(defaultRoot);
    installThread->is64Bit = true;
    installRoot = defaultRoot;
    // The package always comes from the production server, whatever the channel.
    packageUrl =
        QString::fromLatin1(BuildConfig::productionServerUrl) + QLatin1String(Product::packagePath);
    taskThread->setUrl(packageUrl);
    installDir = installRoot + QLatin1String(Product::productFolderName);
    ui.lineEdit->setText(installDir);
    checkDriveSpace(defaultDrive);
}

void kovraSetupOnline::setChannel(QString argument)
{
    ChannelManager *channel = ChannelManager::instance();
    channel->parseChannel(argument);
    g_channelName = channel->channelName();
    g_channelId = channel->channelId().left(16);
    if (channel->channelType() != 1)
        serverUrl = QString::fromLatin1(BuildConfig::testServerUrl);
}

void kovraSetupOnline::sendOperationLog(QString btnId)
{
    // Parented like the window, not to it: the window has no parent, so the sender lives until
    // the process ends and a record posted during the window's teardown still goes out.
    if (!operationLog)
        operationLog = new OperationLog(parentWidget());
    operationLog->send(serverUrl, btnId);
}

void kovraSetupOnline::scanDrives()
{
    const QStringList roots = Platform::driveRoots();
    for (const QString &root : roots) {
        if (root.isEmpty())
            continue;
        const double gb = driveSpaceGB(root);
        driveFreeText.insert(Platform::driveKey(root), DriveSpace::formatGigabytes(gb));
    }
    qDebug() << driveFreeText;
}

double kovraSetupOnline::driveSpaceGB(QString path)
{
    const quint64 bytes = Platform::freeBytes(path);
    driveFreeBytes.insert(Platform::driveKey(path), bytes);
    return DriveSpace::gigabytes(bytes);
}

void kovraSetupOnline::checkDriveSpace(QString drive)
{
    const DriveSpace::Verdict verdict = DriveSpace::check(driveFreeText, driveFreeBytes, drive);
    ui.lb_size2->setText(verdict.text);
    ui.btnSetupview->setEnabled(verdict.enough);
    ui.btnSetupview_2->setEnabled(verdict.enough);
    ui.label_7->setVisible(!verdict.enough);
    if (!verdict.enough)
        qDebug() << "not enough free space on drive" << drive << verdict.text;
}

void kovraSetupOnline::on_btnDir_clicked()
{
    sendOperationLog(QStringLiteral("pc-install-selectdir"));
    const QString dir = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Open Directory"), installRoot,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty())
        return;
    installRoot = dir;
    const QString drive = Platform::driveKey(dir);
    installDir = DriveSpace::productFolder(installRoot);
    ui.lineEdit->setText(installDir);
    checkDriveSpace(drive);
}

bool kovraSetupOnline::eventFilter(QObject *watched, QEvent *event)
{
    // Every rule is tested in turn; each watched object is named by one rule only. The event is
    // never consumed, so the widget and its parents still get it.
    const bool press = event->type() == QEvent::MouseButtonPress;
    const bool release = event->type() == QEvent::MouseButtonRelease;

    if (watched == ui.lbClose && press) {
        sendOperationLog(QStringLiteral("pc-install-close"));
        askToClose();
    }
    if (watched == ui.label_min && release) {
        sendOperationLog(QStringLiteral("pc-install-min"));
        showMinimized();
    }
    if (watched == ui.lb_custom && press) {
        sendOperationLog(QStringLiteral("pc-install-custom"));
        ui.stackedWidget->setCurrentIndex(CustomInstallPage);
    }
    if ((watched == ui.lb_agreement || watched == ui.lb_agreement_2) && press) {
        sendOperationLog(QStringLiteral("pc-install-agreement"));
        QDesktopServices::openUrl(QUrl(QString::fromLatin1(BuildConfig::agreementHostUrl) +
                                           QStringLiteral("/agreement.html"),
                                       QUrl::TolerantMode));
    }
    // Both install buttons always share one enabled state.
    if ((watched == ui.btnSetupview || watched == ui.btnSetupview_2) && press &&
        ui.btnSetupview->isEnabled())
        startInstall();
    if (watched == ui.btnSetupview_3 && press) {
        sendOperationLog(QStringLiteral("pc-install-setup"));
        startProduct();
    }
    if ((watched == ui.label_4 || watched == ui.label_8) && press) {
        sendOperationLog(QStringLiteral("pc-install-check"));
        toggleAgreement();
    }
    return QObject::eventFilter(watched, event);
}

void kovraSetupOnline::closeEvent(QCloseEvent *event)
{
    // The close icon is hidden while the install runs; a system close (Alt+F4) would hide the
    // window and leave the install to finish unseen, its result never reported. Once it has
    // reported success, only its clean-up runs, which the window's end waits for.
    if (installThread->isRunning() && phase != Installed) {
        qDebug() << "close refused while the install runs";
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void kovraSetupOnline::askToClose()
{
    const QString question = phase == Installed ? tr("language3") : tr("language4");
    if (QMessageBox::question(this, tr("language2"), question, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) == QMessageBox::Yes)
        close();
}

void kovraSetupOnline::startInstall()
{
    slideIndex = 0;
    QTimer::singleShot(3000, this, &kovraSetupOnline::changePage);
    // The download begins first: building the record and the first request of the operation
    // log take a moment that the download need not wait for. The record still goes first.
    taskThread->start(QThread::InheritPriority);
    sendOperationLog(QStringLiteral("pc-install-go"));
    // No way out through the window's own controls while the work runs.
    ui.lbClose->hide();
    phase = Downloading;
    ui.stackedWidget->setCurrentIndex(ProgressPage);
}

void kovraSetupOnline::toggleAgreement()
{
    agreementChecked = !agreementChecked;
    const QString imageSet =
        QLatin1String(Product::variantFlag ? "Resources_green/" : "Resources/");
    const QString image = QLatin1String(agreementChecked ? "agree_agreement.png" : "no_check.png");
    const QString sheet =
        QStringLiteral("image: url(:/kovraSetupOnline/") + imageSet + image + QStringLiteral(");");
    ui.label_4->setStyleSheet(sheet);
    ui.label_8->setStyleSheet(sheet);
    // Overrides the free-space check; that check, when it runs next, overrides this in turn.
    ui.btnSetupview->setEnabled(agreementChecked);
    ui.btnSetupview_2->setEnabled(agreementChecked);
}

void kovraSetupOnline::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    dragOffset = event->globalPos() - frameGeometry().topLeft();
    event->accept();
    dragging = true;
}

void kovraSetupOnline::mouseReleaseEvent(QMouseEvent *event)
{
    Q_UNUSED(event)
    dragging = false;
}

void kovraSetupOnline::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging || !(event->buttons() & Qt::LeftButton)) {
        event->ignore();
        return;
    }
    move(event->globalPos() - dragOffset);
    event->accept();
}

void kovraSetupOnline::takeProgress(double per)
{
    const std::optional<int> p = ProgressMapping::percent(per);
    if (!p) {
        qDebug() << "progress not shown, not a percentage:" << per;
        return;
    }
    if (double(*p) != std::trunc(per))
        qDebug() << "progress outside 0 to 100 shown as" << *p << ":" << per;
    showProgress(*p);
}

void kovraSetupOnline::showProgress(int p)
{
    const int shown = ProgressMapping::shownValue(phase == Downloading, p);
    const QString text = tr("language1") + QString::number(shown) + QStringLiteral("%）");
    // The unpack reports every file: a repaint for each would take the processor from 7-Zip.
    if (text == ui.proTxt->text() && shown == ui.progressBar->value())
        return;
    ui.proTxt->setText(text);
    ui.progressBar->setValue(shown);
    ui.progressBar->update();
}

void kovraSetupOnline::installProgress(double per)
{
    takeProgress(per);
}

void kovraSetupOnline::updateProgress(double per)
{
    takeProgress(per);
}

void kovraSetupOnline::updateSuccess(QString temppath)
{
    qDebug() << "updateSuccess" << temppath << "2222222222";
    phase = Installing;
    // An install that has just reported may still be leaving its run: its inputs are written
    // only once it has ended, and start() would be ignored before.
    installThread->wait();
    installThread->installDir = installDir;
    installThread->archivePath = temppath;
    installThread->start(QThread::InheritPriority);
    sendOperationLog(QStringLiteral("pc-load-ok"));
}

void kovraSetupOnline::updateFailed(int code)
{
    ui.pushButton_3->show();
    ui.proTxt->setText(tr("language5") + QStringLiteral("2-!") + QString::number(code));
    qDebug() << "updateFailed,error code:" << code;
    ui.lbClose->show();
    sendOperationLog(QStringLiteral("pc-load-failedcode-") + QString::number(code));
}

void kovraSetupOnline::installSuccess()
{
    ui.lbClose->show();
    phase = Installed;
    qDebug() << "installSuccess";
    ui.stackedWidget->setCurrentIndex(FinishedPage);
    sendOperationLog(QStringLiteral("pc-install-success"));
}

void kovraSetupOnline::installFailed(int code)
{
    ui.pushButton_3->show();
    // The product holds its earlier installation: the user closes it and presses re-install.
    ui.proTxt->setText(productRunning
                           ? tr("language12")
                           : tr("language5") + QStringLiteral("1-!") + QString::number(code));
    productRunning = false;
    sendOperationLog(QStringLiteral("pc-install-failedcode-") + QString::number(code));
    qDebug() << "installFailed" << code;
    ui.lbClose->show();
}

void kovraSetupOnline::on_pushButton_3_clicked()
{
    slideIndex = 0;
    QTimer::singleShot(3000, this, &kovraSetupOnline::changePage);
    ui.pushButton_3->hide();
    sendOperationLog(QStringLiteral("pc-install-failed"));
    ui.lbClose->hide();
    phase = Downloading;
    showProgress(0);
    ui.stackedWidget->setCurrentIndex(ProgressPage);
    // The failed download reports just before its run ends; start() would be ignored until then.
    taskThread->wait();
    taskThread->start(QThread::InheritPriority);
}

void kovraSetupOnline::startProduct()
{
    Platform::startProduct(installDir + QLatin1String(Product::productExecutable));
    hide();
    // The last records, "pc-install-setup" among them, get a short while to reach the server.
    if (operationLog)
        operationLog->waitForPending(2000);
    // The install's clean-up after its success (the earlier installation, the package).
    installThread->wait();
    // The installer is done once the product runs: it leaves at once, past the event loop and
    // the window's teardown.
    std::fflush(nullptr);
    std::_Exit(0);
}

void kovraSetupOnline::changePage()
{
    if (slideIndex > 2)
        slideIndex = 0;
    ui.stackedWidget_2->setCurrentIndex(slideIndex);
    ++slideIndex;
    QTimer::singleShot(3000, this, &kovraSetupOnline::changePage);
}
