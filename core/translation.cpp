#include "core/translation.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocale>
#include <QString>
#include <QTextCodec>
#include <QTranslator>

void loadTranslation()
{
    // 8-bit text (the log file among it) follows the system's own code page.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("System"));

    QString catalogue = QStringLiteral(":/kovraSetupOnline/language/kovrasetuponline_zh.qm");
    if (QLocale().language() == QLocale::English)
        catalogue = QStringLiteral(":/kovraSetupOnline/language/kovrasetuponline_en.qm");

    // Installed for the whole run and never removed, so it has no owner.
    auto *translator = new QTranslator;
    if (!translator->load(catalogue))
        qWarning() << "translation catalogue not loaded, keys are shown:" << catalogue;
    QCoreApplication::installTranslator(translator);
}
