#include "ui/kovrasetuponline.h"

#include "app/channelmanager.h"
#include "app/product.h"
#include "buildconfig.h"
#include "report/operationlog.h"
#include "ui/greenstylesheets.h"

#include <QColor>
#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QIcon>
#include <QLabel>
#include <QTimer>

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

    networkManager = nullptr;
    agreementChecked = true;
    serverUrl = QString::fromLatin1(BuildConfig::productionServerUrl);

    if (Product::variantFlag)
        applyAlternativeBrand();

    ui.stackedWidget->setCurrentIndex(1);
    ui.pushButton_3->hide();
    phase = 0;

    setUpWorkers();
}

kovraSetupOnline::~kovraSetupOnline() = default;

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
    // Worker threads, their wiring, the drive scan and the install defaults.
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
    postOperationLog(networkManager, parentWidget(), serverUrl, btnId);
}

bool kovraSetupOnline::eventFilter(QObject *watched, QEvent *event)
{
    return QObject::eventFilter(watched, event);
}

void kovraSetupOnline::mousePressEvent(QMouseEvent *event)
{
    QWidget::mousePressEvent(event);
}

void kovraSetupOnline::mouseReleaseEvent(QMouseEvent *event)
{
    QWidget::mouseReleaseEvent(event);
}

void kovraSetupOnline::mouseMoveEvent(QMouseEvent *event)
{
    QWidget::mouseMoveEvent(event);
}

void kovraSetupOnline::on_pushButton_3_clicked() {}

void kovraSetupOnline::on_btnDir_clicked() {}

void kovraSetupOnline::installProgress(double per)
{
    Q_UNUSED(per)
}

void kovraSetupOnline::installSuccess() {}

void kovraSetupOnline::installFailed(int code)
{
    Q_UNUSED(code)
}

void kovraSetupOnline::updateProgress(double per)
{
    Q_UNUSED(per)
}

void kovraSetupOnline::updateSuccess(QString temppath)
{
    Q_UNUSED(temppath)
}

void kovraSetupOnline::updateFailed(int code)
{
    Q_UNUSED(code)
}

void kovraSetupOnline::changePage()
{
    if (slideIndex > 2)
        slideIndex = 0;
    ui.stackedWidget_2->setCurrentIndex(slideIndex);
    ++slideIndex;
    QTimer::singleShot(3000, this, SLOT(changePage()));
}
