#pragma once

#include <QString>
#include <QtGlobal>

// The log folder, resolved by the first message.
extern QString g_logDir;

// Appends every message as one line to "install_revanto.log" in the cache folder.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
