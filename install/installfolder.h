#pragma once

#include <QString>

// Makes the install folder ready for a new installation without losing anything that no
// installation put there.
namespace InstallFolder {

// The file every installation leaves in its folder, naming everything it put there.
inline constexpr char listName[] = "Uninstall.list";

// True when folder holds nothing but what its own list names (an earlier installation,
// finished or cut short), or nothing at all, or does not exist. Never for a link.
bool holdsOnlyInstallation(const QString &folder);

// Empties folder when it holds only an earlier installation; otherwise moves it aside to a
// free sibling name ("<folder>.old", "<folder>.old2", ...), so the user's files stay whole.
// Then creates the folder. False, and logged, when that is not possible.
bool prepare(const QString &folder);

// True when path names folder itself or something below it, in the system's case rules.
bool contains(const QString &folder, const QString &path);

} // namespace InstallFolder
