#include "core/channelmanager.h"

#include <QCryptographicHash>
#include <QDebug>

QString g_channelName;
QString g_channelId;

namespace {

ChannelManager *s_instance = nullptr;

// The type word that switches the reports to the test server.
const QString testWord = QStringLiteral("kvtst");
const QString defaultChannelId = QStringLiteral("0000000000000000");
constexpr int maxChannelIdLength = 16;

// The name and id go into a comma-separated record and into log lines: separators, line breaks
// and other control characters in the argument never reach them. Character by character, so
// that text which is no valid UTF-16 is cleaned all the same.
QString recordSafe(const QString &text)
{
    QString safe;
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        if (c != QLatin1Char(',') && category != QChar::Other_Control &&
            category != QChar::Separator_Line && category != QChar::Separator_Paragraph)
            safe += c;
    }
    return safe;
}

// Salt around the type word, so the token cannot be rebuilt from the type word alone.
constexpr char tokenSaltPrefix[] = "kovraSalt2020_";
constexpr char tokenSaltSuffix[] = "zP4!wq8Hn";
static_assert(sizeof(tokenSaltPrefix) - 1 == 14, "the token salt prefix has 14 characters");
static_assert(sizeof(tokenSaltSuffix) - 1 == 9, "the token salt suffix has 9 characters");

} // namespace

ChannelManager *ChannelManager::instance()
{
    if (!s_instance)
        s_instance = new ChannelManager;
    return s_instance;
}

ChannelManager::ChannelManager()
    : m_channelName(QStringLiteral("Default"))
    , m_channelType(1)
    , m_channelId(defaultChannelId)
{}

ChannelManager::~ChannelManager() = default;

void ChannelManager::parseChannel(QString argument)
{
    QString &a = argument;
    if (a.isEmpty()) {
        // No argument: the default channel; the id keeps what it holds.
        m_channelName = QStringLiteral("Default");
        m_channelType = 1;
        qDebug() << m_channelName << m_channelType;
        return;
    }

    // Only the last "-" separates the id; a "-" in first place does not count.
    m_channelId = a;
    const int p = a.lastIndexOf(QLatin1Char('-'));
    if (p <= 0) {
        m_channelId = defaultChannelId;
    } else {
        m_channelId = recordSafe(a.mid(p + 1));
        a.truncate(p);
        if (m_channelId.size() > maxChannelIdLength)
            m_channelId.truncate(maxChannelIdLength);
    }

    // Whatever comes before the first "_" is dropped.
    const int u = a.indexOf(QLatin1Char('_'));
    const QString rest = a.mid(u + 1);

    const int h = rest.indexOf(QLatin1Char('#'));
    if (h < 0) {
        m_channelName = recordSafe(rest);
        m_channelType = 1;
        qDebug() << m_channelName << m_channelType;
        return;
    }

    m_channelName = recordSafe(rest.left(h));
    const QString word = rest.mid(h + 1);
    if (word == testWord)
        m_channelType = 0;
    // The marker goes in as a plain C string, which the debug stream writes without quotes.
    qDebug() << "CCCCCCCCCCCCCCCCCCC" << m_channelName << word << m_channelType << m_channelId;
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
    const QString typeWord = m_channelType == 1 ? QStringLiteral("normal") : testWord;
    const QString input =
        QLatin1String(tokenSaltPrefix) + typeWord + QLatin1String(tokenSaltSuffix);
    return QString::fromLatin1(
        QCryptographicHash::hash(input.toLatin1(), QCryptographicHash::Md5).toHex().toLower());
}
