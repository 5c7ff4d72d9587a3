#pragma once

#include <QString>
#include <QtGlobal>

// The log folder, resolved by the first message.
extern QString g_logDir;

// Appends every message as one line to "install_revanto.log" in the cache folder:
// "(<local time>) <level word> File:(<file>) Line:(<line>) <message>", ended by CR LF.
// Safe from any thread; a message raised while a line is being written is dropped.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
