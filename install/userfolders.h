#pragma once

#include <QString>

// The per-user folders the installer writes to, named by the toolkit from the system's home
// folder: the download folder, the log's folder, the settings folder (journal and uninstall
// list), the desktop, the start menu and the default install root.
namespace UserFolders {

// The first of them that the toolkit cannot name as the system does, empty when it can name
// them all. A home folder whose name is no text in the system's encoding reaches the toolkit
// changed, and every folder named from it would be made anew beside the real home.
QString unnameable();

} // namespace UserFolders
