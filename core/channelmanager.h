#pragma once

#include <QObject>
#include <QString>

// The channel name and id of this run, written once by the window's setChannel and read by the
// operation log.
extern QString g_channelName;
extern QString g_channelId;

// Parses the channel argument ("<prefix>_<name>#<word>-<id>") once at start-up and gives the
// channel name, type (1 normal, 0 test), id and token to the window and the install.
class ChannelManager : public QObject
{
    Q_OBJECT

public:
    // The one instance of the process, created on the first call and never destroyed.
    static ChannelManager *instance();

    // Overwrites the fields the argument provides; an empty argument leaves the id as it is.
    void parseChannel(QString argument);

    QString channelName() const;
    int channelType() const;
    QString channelId() const;
    // 32 lower-case hex digits that depend only on the channel type.
    QString channelToken() const;

    ~ChannelManager() override;

private:
    ChannelManager();

    QString m_channelName;
    int m_channelType;
    QString m_channelId;
};
