#pragma once

#include <QString>
#include <QVariantMap>

// The product's entry in the system's uninstall list, named after the product's display name:
// written by the install, read at start-up, where its uninstaller can be run first.
namespace UninstallEntry {

// The stored uninstall command of the entry of that display name; empty when there is none.
QString command(const QString &displayName);

// Every value of the entry; empty when there is none.
QVariantMap values(const QString &displayName);

// Writes the five values of the entry; false when they did not reach the list.
bool write(const QString &displayName, const QString &productPath, const QString &uninstallerPath);

// Makes the entry hold exactly values (none: no entry), as values() gave them.
bool restore(const QString &displayName, const QVariantMap &values);

} // namespace UninstallEntry

// The uninstall command that an earlier installation of this product left in the uninstall
// list under the display name of this run's language, or an empty string.
QString checkAlreadyInstall();
