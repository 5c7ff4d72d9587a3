#pragma once

#include <QString>

// Looks at what a package archive holds before anything is unpacked: an entry that would land
// outside the unzip folder, or a link that could lead there, makes the package unusable.
namespace ArchiveGuard {

// Lists the archive with 7-Zip; empty when every entry is a plain file or folder inside the
// unzip folder, otherwise why it is refused.
QString check(const QString &archivePath);

// The same judgement on the text of "7z l -slt": empty when safe, otherwise the reason.
QString judgeListing(const QString &listing);

// True for an entry path that stays below the folder it is unpacked into.
bool isContainedPath(const QString &entryPath);

} // namespace ArchiveGuard
