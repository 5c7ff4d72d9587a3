#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Judges what a package archive holds before anything is unpacked: an entry that would land
// outside the unzip folder, or a link that could lead there, makes the package unusable.
namespace ArchiveGuard {

// What the technical listing of an archive ("7z l -slt") says.
struct Listing
{
    // Why the package is refused; empty when every entry is a plain file or folder inside.
    QString refusal;
    // The bytes its entries declare once unpacked.
    quint64 unpackedBytes = 0;
    // The first path part of every entry, once each: what unpacking creates in the folder.
    QStringList topLevelEntries;
};

Listing judgeListing(const QString &listing);

// True for an entry path that stays below the folder it is unpacked into.
bool isContainedPath(const QString &entryPath);

} // namespace ArchiveGuard
