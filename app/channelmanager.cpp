#include "app/channelmanager.h"

QString g_channelName;
QString g_channelId;

namespace {
ChannelManager *s_instance = nullptr;
}

ChannelManager *ChannelManager::instance()
{
    if (!s_instance)
        s_instance = new ChannelManager;
    return s_instance;
}

ChannelManager::ChannelManager()
    : m_channelName(QStringLiteral("Default"))
    , m_channelType(1)
    , m_channelId(QStringLiteral("0000000000000000"))
{
}

ChannelManager::~ChannelManager() = default;

void ChannelManager::parseChannel(QString argument)
{
    Q_UNUSED(argument)
}

QString ChannelManager::channelName() const
{
    return m_channelName;
}

int ChannelManager::channelType() const
{
    return m_channelType;
}

QString ChannelManager::channelId() const
{
    return m_channelId;
}

QString ChannelManager::channelToken() const
{
    return QString();
}
