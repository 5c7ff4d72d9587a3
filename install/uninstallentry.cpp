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

// True once the entry holds values (and nothing else when whole). A line elsewhere in the list
// that the settings cannot parse leaves a format error on the object that wrote, even after a
// good write: then a fresh object, which reads the list again and writes what is still pending,
// tells.
bool saved(std::unique_ptr<QSettings> entry, const QString &displayName, const QVariantMap &values,
           bool whole)
{
    entry->sync();
    if (entry->status() != QSettings::FormatError)
        return entry->status() == QSettings::NoError;
    entry.reset();
    if (open(displayName)->status() == QSettings::AccessError)
        return false;
    const QVariantMap stored = UninstallEntry::values(displayName);
    for (auto value = values.cbegin(); value != values.cend(); ++value) {
        if (stored.value(value.key()) != value.value())
            return false;
    }
    return !whole || stored.size() == values.size();
}

// The values in the order the entry has always been written in, which is the order of their names.
void setValues(QSettings &entry, const QVariantMap &values)
{
    for (auto value = values.cbegin(); value != values.cend(); ++value)
        entry.setValue(value.key(), value.value());
}

} // namespace

QString command(const QString &displayName)
{
    return open(displayName)->value(QStringLiteral("UninstallString")).toString();
}

QVariantMap values(const QString &displayName)
{
    const std::unique_ptr<QSettings> entry = open(displayName);
    QVariantMap values;
    const QStringList names = entry->childKeys();
    for (const QString &name : names)
        values.insert(name, entry->value(name));
    return values;
}

bool write(const QString &displayName, const QString &productPath, const QString &uninstallerPath)
{
    const QVariantMap values{{QStringLiteral("DisplayIcon"), productPath},
                             {QStringLiteral("DisplayName"), displayName},
                             {QStringLiteral("DisplayVersion"), QLatin1String(Product::version)},
                             {QStringLiteral("Publisher"), displayName},
                             {QStringLiteral("UninstallString"), uninstallerPath}};
    std::unique_ptr<QSettings> entry = open(displayName);
    setValues(*entry, values);
    return saved(std::move(entry), displayName, values, false);
}

bool restore(const QString &displayName, const QVariantMap &values)
{
    std::unique_ptr<QSettings> entry = open(displayName);
    entry->remove(QString());
    setValues(*entry, values);
    return saved(std::move(entry), displayName, values, true);
}

} // namespace UninstallEntry

QString checkAlreadyInstall()
{
    // The entry is named after the display name of the language the product was installed in.
    const QString command = UninstallEntry::command(QObject::tr(Product::displayNameKey));
    qDebug() << "checkAlreadyInstall" << command;
    return command;
}
