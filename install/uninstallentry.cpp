#include "install/uninstallentry.h"

#include "core/product.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSettings>

namespace UninstallEntry {

namespace {

std::unique_ptr<QSettings> open(const QString &displayName)
{
    return Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + displayName);
}

bool saved(QSettings &entry)
{
    entry.sync();
    return entry.status() == QSettings::NoError;
}

} // namespace

QString command(const QString &displayName)
{
    return open(displayName)->value(QStringLiteral("UninstallString")).toString();
}

bool write(const QString &displayName, const QString &productPath, const QString &uninstallerPath)
{
    const std::unique_ptr<QSettings> entry = open(displayName);
    entry->setValue(QStringLiteral("DisplayIcon"), productPath);
    entry->setValue(QStringLiteral("DisplayName"), displayName);
    entry->setValue(QStringLiteral("DisplayVersion"), QLatin1String(Product::version));
    entry->setValue(QStringLiteral("Publisher"), displayName);
    entry->setValue(QStringLiteral("UninstallString"), uninstallerPath);
    return saved(*entry);
}

bool remove(const QString &displayName)
{
    const std::unique_ptr<QSettings> entry = open(displayName);
    entry->remove(QString());
    return saved(*entry);
}

} // namespace UninstallEntry

QString checkAlreadyInstall()
{
    // The entry is named after the display name of the language the product was installed in.
    const QString command = UninstallEntry::command(QObject::tr(Product::displayNameKey));
    qDebug() << "checkAlreadyInstall" << command;
    return command;
}
