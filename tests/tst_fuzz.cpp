#include "app/channelmanager.h"
#include "report/machineid.h"

#include <QRandomGenerator>
#include <QtTest>

#include <memory>

// Bounded random inputs for the two parsers that take text from outside: the channel argument
// and the machine query output. Seeded, so a failure can be repeated: the seed is printed, and
// KOVRA_FUZZ_SEED sets it.
namespace {

constexpr int inputCount = 1000000;
const QString zeros = QStringLiteral("0000000000000000");

int g_messages = 0;

void countMessage(QtMsgType, const QMessageLogContext &, const QString &)
{
    ++g_messages;
}

class MessageCounter
{
public:
    MessageCounter()
        : m_previous(qInstallMessageHandler(countMessage))
    {
        g_messages = 0;
    }
    ~MessageCounter() { qInstallMessageHandler(m_previous); }
    MessageCounter(const MessageCounter &) = delete;
    MessageCounter &operator=(const MessageCounter &) = delete;

private:
    QtMessageHandler m_previous;
};

quint32 fuzzSeed()
{
    bool ok = false;
    const quint32 fromEnvironment = qEnvironmentVariable("KOVRA_FUZZ_SEED").toUInt(&ok);
    const quint32 seed = ok ? fromEnvironment : QRandomGenerator::system()->generate();
    qInfo("fuzz seed %u (KOVRA_FUZZ_SEED=%u repeats this run)", seed, seed);
    return seed;
}

// An input as C-style escapes, short enough for a failure message.
QString shown(const QString &text)
{
    QString out;
    for (const QChar c : text.left(300)) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f)
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    if (text.size() > 300)
        out += QStringLiteral("... (%1 characters)").arg(text.size());
    return out;
}

// Random text from weighted pieces: the parsers' own separators and words, single characters of
// every kind, and now and then a very long run.
class TextSource
{
public:
    TextSource(quint32 seed, QStringList pieces)
        : m_random(seed)
        , m_pieces(std::move(pieces))
    {}

    int below(int bound) { return int(m_random.bounded(quint32(bound))); }
    bool oneIn(int n) { return below(n) == 0; }

    QChar anyCharacter()
    {
        switch (below(6)) {
        case 0:
            return QChar(ushort(0x20 + below(0x5f))); // printable ASCII
        case 1:
            return QChar(ushort(below(0x20))); // controls, NUL included
        case 2:
            return QChar(ushort(0x80 + below(0x180))); // Latin-1 and beyond
        case 3:
            return QChar(ushort(0x4e00 + below(0x5000))); // CJK
        case 4:
            return QChar(ushort(0xd800 + below(0x800))); // a lone surrogate half
        default:
            return QChar(ushort(below(0x10000)));
        }
    }

    QString piece()
    {
        if (oneIn(3))
            return QString(anyCharacter());
        return m_pieces.at(below(m_pieces.size()));
    }

    QString text(int maxPieces)
    {
        QString out;
        if (oneIn(2000)) {
            // Very long: one piece repeated, with random characters among the repeats.
            const QString unit = piece();
            const int repeats = 1000 + below(50000);
            out.reserve(repeats * unit.size() + 64);
            for (int i = 0; i < repeats; ++i)
                out += oneIn(100) ? QString(anyCharacter()) : unit;
            return out;
        }
        const int count = below(maxPieces + 1);
        for (int i = 0; i < count; ++i)
            out += piece();
        return out;
    }

private:
    QRandomGenerator m_random;
    QStringList m_pieces;
};

bool isIdentifier(const QString &id)
{
    if (id.size() != 32)
        return false;
    for (const QChar c : id) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

// simplified() of a text with no line breaks left: single blanks between words, none at the ends.
bool isCleaned(const QString &text)
{
    if (text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')))
        return false;
    if (text.isEmpty())
        return true;
    if (text.front().isSpace() || text.back().isSpace())
        return false;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isSpace() && (text.at(i) != QLatin1Char(' ') || text.at(i + 1).isSpace()))
            return false;
    }
    return true;
}

// The word after the first "#" that follows the first "_" of the argument without its id part:
// the only text that can select the test server.
QString typeWord(const QString &argument)
{
    const int dash = argument.lastIndexOf(QLatin1Char('-'));
    const QString body = dash > 0 ? argument.left(dash) : argument;
    const QString rest = body.mid(body.indexOf(QLatin1Char('_')) + 1);
    const int hash = rest.indexOf(QLatin1Char('#'));
    return hash < 0 ? QString() : rest.mid(hash + 1);
}

} // namespace

class tst_fuzz : public QObject
{
    Q_OBJECT

private slots:
    void channelArguments();
    void machineQueryOutput();
};

void tst_fuzz::channelArguments()
{
    TextSource source(fuzzSeed(),
                      {QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("_"),
                       QStringLiteral("_"), QStringLiteral("#"), QStringLiteral("#"),
                       QStringLiteral("kvtst"), QStringLiteral("kvtst"), QStringLiteral("KVTST"),
                       QStringLiteral("kvts"), QStringLiteral("setup"), QStringLiteral("web01"),
                       QStringLiteral("a7f3c"), QStringLiteral("0123456789abcdef"),
                       QStringLiteral("%1"), QStringLiteral(" "), QString::fromUtf8("中文"),
                       QString::fromUtf8("é"), QString::fromUtf8("\xf0\x9f\x98\x80")});
    ChannelManager *manager = ChannelManager::instance();
    // The token of each type, test (0) and normal (1).
    const auto tokenAfter = [manager](const QString &argument) {
        const MessageCounter quiet;
        manager->parseChannel(argument);
        return manager->channelToken();
    };
    const QString tokens[2] = {tokenAfter(QStringLiteral("p_c#kvtst")),
                               tokenAfter(QStringLiteral("Default"))};
    QVERIFY(isIdentifier(tokens[0]) && isIdentifier(tokens[1]) && tokens[0] != tokens[1]);

    int testChannels = 0;
    int withId = 0;
    int longest = 0;
    auto counter = std::make_unique<MessageCounter>();
    for (int i = 0; i < inputCount; ++i) {
        QString argument;
        if (source.oneIn(3)) {
            // Shaped like a real channel argument, each part random.
            argument = source.text(3) + QLatin1Char('_') + source.text(4);
            if (!source.oneIn(4))
                argument +=
                    QLatin1Char('#') + (source.oneIn(2) ? QStringLiteral("kvtst") : source.text(2));
            if (!source.oneIn(4))
                argument += QLatin1Char('-') + source.text(6);
        } else {
            argument = source.text(12);
        }

        // Every input starts from the values of a fresh run.
        manager->parseChannel(QStringLiteral("Default"));
        const int messagesBefore = g_messages;
        manager->parseChannel(argument);

        const QString name = manager->channelName();
        const QString id = manager->channelId();
        const int type = manager->channelType();
        const int expectedType = typeWord(argument) == QLatin1String("kvtst") ? 0 : 1;
        const bool good =
            g_messages == messagesBefore + 1 && (type == 0 || type == 1) && type == expectedType &&
            id.size() <= 16 && (id == zeros || argument.contains(QLatin1Char('-') + id)) &&
            (argument.isEmpty() ? name == QLatin1String("Default")
                                : argument.contains(name) && !name.contains(QLatin1Char('#'))) &&
            manager->channelToken() == tokens[type];
        if (!good)
            QFAIL(qPrintable(QStringLiteral("input %1: \"%2\" gave name \"%3\", type %4, id \"%5\"")
                                 .arg(i)
                                 .arg(shown(argument), shown(name))
                                 .arg(type)
                                 .arg(shown(id))));
        testChannels += type == 0;
        withId += id != zeros;
        longest = qMax(longest, argument.size());
    }
    counter.reset();
    // The inputs must reach every branch, or the run proves little.
    qInfo("%d inputs: %d test channels, %d with an id, longest %d characters", inputCount,
          testChannels, withId, longest);
    QVERIFY(testChannels > inputCount / 100 && withId > inputCount / 10 && longest > 10000);
}

void tst_fuzz::machineQueryOutput()
{
    TextSource source(fuzzSeed(), {QStringLiteral("UUID"),
                                   QStringLiteral("uuid"),
                                   QStringLiteral("Uuid"),
                                   QStringLiteral("processorid"),
                                   QStringLiteral("ProcessorId"),
                                   QStringLiteral("PROCESSORID"),
                                   QStringLiteral("\r"),
                                   QStringLiteral("\n"),
                                   QStringLiteral("\r\n"),
                                   QStringLiteral("\r\r\n"),
                                   QStringLiteral("\r\r\n"),
                                   QStringLiteral(" "),
                                   QStringLiteral("  "),
                                   QStringLiteral("\t"),
                                   QStringLiteral("FFFFFFFF"),
                                   QStringLiteral("FFFFFFFF-FFFF-FFFF"),
                                   QStringLiteral("ffffffff"),
                                   QStringLiteral("FFFF"),
                                   QStringLiteral("4C4C4544-0035-4B10-8047-B4C04F4E4E32"),
                                   QStringLiteral("BFEBFBFF000906EA"),
                                   QString::fromUtf8("\xc2\xa0"),
                                   QString::fromUtf8("\xe2\x80\xa8")});

    QString uuidOutput;
    QString processorOutput;
    QStringList ran;
    const MachineIdentifier identifier([&](const QString &commandLine) {
        ran.append(commandLine);
        return commandLine.endsWith(QLatin1String("UUID")) ? uuidOutput : processorOutput;
    });
    const QString uuidCommand = QStringLiteral("wmic csproduct get UUID");
    const QString processorCommand = QStringLiteral("wmic cpu get processorid");

    int placeholders = 0;
    int emptyAnswers = 0;
    for (int i = 0; i < inputCount; ++i) {
        // What the platform hands over: arbitrary bytes read as UTF-8, or shaped text.
        const auto output = [&] {
            if (!source.oneIn(4))
                return source.text(10);
            QByteArray bytes(source.below(64), Qt::Uninitialized);
            for (char &byte : bytes)
                byte = char(source.below(256));
            return QString::fromUtf8(bytes);
        };
        uuidOutput = output();
        processorOutput = output();
        ran.clear();

        const QString id = identifier.identify();
        const int queries = ran.size();
        const QString uuid = identifier.cleanedOutput(uuidCommand);
        const QString processor = identifier.cleanedOutput(processorCommand);
        const bool placeholder = uuid.contains(QLatin1String("FFFFFFFF"));
        const bool good = isIdentifier(id) && isCleaned(uuid) && isCleaned(processor) &&
                          queries == (placeholder ? 2 : 1) &&
                          id == MachineIdentifier::hash(placeholder ? processor : uuid);
        if (!good)
            QFAIL(qPrintable(QStringLiteral("input %1: UUID output \"%2\", processor output \"%3\" "
                                            "gave \"%4\" from \"%5\" / \"%6\"")
                                 .arg(i)
                                 .arg(shown(uuidOutput), shown(processorOutput), id, shown(uuid),
                                      shown(processor))));
        placeholders += placeholder;
        emptyAnswers += uuid.isEmpty();
    }
    qInfo("%d inputs: %d placeholder UUIDs, %d empty UUID answers", inputCount, placeholders,
          emptyAnswers);
    QVERIFY(placeholders > inputCount / 100 && emptyAnswers > inputCount / 100);
}

QTEST_GUILESS_MAIN(tst_fuzz)
#include "tst_fuzz.moc"
