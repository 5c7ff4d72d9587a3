#pragma once

#include <QString>

// One operation-log record: built for one report, serialised, dropped. The member names are the
// JSON keys.
class OperationLogRecord
{
public:
    // Fills every member from the channel of this run, the brand and the machine identifier.
    explicit OperationLogRecord(const QString &btnId);

    // Compact JSON with the keys in ascending order.
    QString toJson() const;

    QString phoneId;
    QString phoneMaker;
    QString phoneModel;
    int phoneOs = 2;
    QString phoneOsVersion;
    QString apkChannel;
    int apkId;
    int apkVersionCode = 1;
    QString apkVersionName;
    int type = 38;
    QString btnId;
    QString pcId;
};
