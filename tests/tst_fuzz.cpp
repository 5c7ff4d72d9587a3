#include "core/channelmanager.h"
#include "install/archiveguard.h"
#include "report/machineid.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <functional>

// Random inputs for the parsers of outside text: the channel argument, the package listing and
// the machine query output, each checked against what must hold for any input. KOVRA_FUZZ_SEED
// repeats a run, KOVRA_FUZZ_INPUTS sets its length (tools/fuzz.sh runs a million). Every check
// names the input it failed on, as printable text.
#define EXPECT(condition, input)                                                                   \
    QVERIFY2(condition, (input).left(300).toUtf8().toPercentEncoding(" _-#/\\.:=").constData())

class tst_fuzz : public QObject
{
    Q_OBJECT

private slots:
    // Seeded for each function, so that one can be repeated alone.
    void init()
    {
        bool fixed = false;
        quint32 seed = qEnvironmentVariable("KOVRA_FUZZ_SEED").toUInt(&fixed);
        m_random.seed(seed = fixed ? seed : QRandomGenerator::system()->generate());
        m_inputs = qEnvironmentVariable("KOVRA_FUZZ_INPUTS", "10000").toInt();
        qInfo("%d inputs; KOVRA_FUZZ_SEED=%u repeats them", m_inputs, seed);
    }

    void channelArguments()
    {
        const QStringList pieces =
            QStringLiteral("-|_|#|kvtst|#kvtst|KVTST|web01|0123456789abcdef|%1| |,").split('|');
        const auto separator = [](QChar c) {
            return c == ',' || c.category() == QChar::Other_Control ||
                   c.category() == QChar::Separator_Line ||
                   c.category() == QChar::Separator_Paragraph;
        };
        ChannelManager *manager = ChannelManager::instance();
        for (int i = 0; i < m_inputs; ++i) {
            const QString arg = text(pieces, 12);
            manager->parseChannel(QStringLiteral("Default")); // what a fresh run holds
            manager->parseChannel(arg);
            const QString name = manager->channelName(), id = manager->channelId();
            const int type = manager->channelType();
            EXPECT(id.size() <= 16 && !name.contains('#') && (type == 0 || type == 1), arg);
            EXPECT(manager->channelToken() == tokens[type], arg);
            // No separator reaches the name or the id; only "#kvtst" ending the channel part
            // makes a test channel.
            QString plain;
            std::copy_if(arg.begin(), arg.end(), std::back_inserter(plain), std::not_fn(separator));
            const QString given = name + id;
            EXPECT(std::none_of(given.begin(), given.end(), separator), arg);
            EXPECT(type || plain.endsWith(name + "#kvtst") || plain.contains(name + "#kvtst-" + id),
                   arg);
        }
    }

    // Listings of known entries, some hostile; then the same with random damage, after which
    // whatever is accepted still unpacks inside the folder.
    void packageListings()
    {
        const QStringList safe =
            QStringLiteral("Revanto_x64Minimal|a|b c|中文.dll|a..b|.x|x. ").split('|');
        const char *modes[] = {"lrwxrwxrwx", "L", "-rw-r--r--"};
        const QStringList damage =
            QStringLiteral("\n|\r| = |Path = |..|/|\\|C:|Size = ").split('|');
        for (int i = 0; i < m_inputs; ++i) {
            QString listing = QStringLiteral("Path = a.7z\nType = 7z\n\n----------\n");
            bool hostile = false;
            for (int entries = below(5); entries > 0; --entries) {
                QStringList parts = QStringList{pick(safe), pick(safe), pick(safe)}.mid(below(3));
                // A link; or a parent part, a root or a drive that leads out of the folder.
                const int kind = below(24);
                if (kind >= 2 && kind < 6)
                    parts.insert(below(parts.size() + 1), QStringLiteral(".."));
                parts.first().prepend(kind == 6 ? "/" : kind == 7 ? "\\" : kind == 8 ? "c:" : "");
                hostile = hostile || kind < 9;
                listing += QStringLiteral("Path = %1\nSize = %2\nAttributes = A %3\n\n")
                               .arg(parts.join(below(2) ? "/" : "\\"),
                                    QString::number(below(1 << 30)), modes[qMin(kind, 2)]);
            }
            const ArchiveGuard::Listing judged = ArchiveGuard::judgeListing(listing);
            EXPECT(judged.refusal.isEmpty() != hostile, listing);

            for (int n = below(4); n >= 0; --n)
                listing.insert(below(listing.size() + 1), text(damage, 2));
            const ArchiveGuard::Listing damaged = ArchiveGuard::judgeListing(listing);
            for (const ArchiveGuard::Entry &entry :
                 damaged.refusal.isEmpty() ? damaged.entries : QVector<ArchiveGuard::Entry>())
                EXPECT(isContained(entry.path), listing);
            const QString path = text(safe + damage, 6);
            EXPECT(!ArchiveGuard::isContainedPath(path) || isContained(path), path);
        }
    }

    void machineQueryOutput()
    {
        const QString words = QStringLiteral("UUID|uuid|PROCESSORID|processorid|FFFFFFFF|ffffffff");
        const QStringList pieces = QString(words + "|FFFF|\r|\n| |\t|\u00a0").split('|');
        const QRegularExpression md5(QStringLiteral("^[0-9a-f]{32}$"));
        for (int i = 0; i < m_inputs; ++i) {
            const QString uuid = text(pieces, 10), cpu = text(pieces, 10), input = uuid + '|' + cpu;
            int queries = 0;
            const MachineIdentifier identifier([&](const QString &command) {
                ++queries;
                return command.endsWith(QLatin1String("UUID")) ? uuid : cpu;
            });
            const QString clean = identifier.cleanedOutput("wmic csproduct get UUID");
            EXPECT(!clean.contains('\r') && !clean.contains('\n') && !clean.contains("  "), input);
            EXPECT(clean.isEmpty() || !(clean.front().isSpace() || clean.back().isSpace()), input);
            queries = 0;
            EXPECT(md5.match(identifier.identify()).hasMatch(), input);
            EXPECT(queries == (clean.contains(QLatin1String("FFFFFFFF")) ? 2 : 1), input);
        }
    }

private:
    // md5sum of the salted type words, by channel type: test, normal.
    inline static const QString tokens[] = {"97baf6c59825b8a09bff3ccab1232202",
                                            "27758b275ff6cdbd98bc093ec9416b3d"};
    QRandomGenerator m_random;
    int m_inputs = 0;

    int below(int bound) { return int(m_random.bounded(quint32(bound))); }
    QString pick(const QStringList &pieces) { return pieces.at(below(pieces.size())); }
    // Up to maxPieces pieces, and now and then a control character or any beyond ASCII.
    QString text(const QStringList &pieces, int maxPieces)
    {
        QString out;
        for (int n = below(maxPieces + 1); n > 0; --n)
            out += below(4) ? pick(pieces) : QChar(below(2) ? below(32) : 128 + below(65408));
        return out;
    }
    // A part that climbs out of its folder: "..", or on Windows ".." and dots or blanks after.
    static bool climbs(const QString &part)
    {
        return part.startsWith("..") && part.count('.') + part.count(' ') == part.size();
    }
    static bool isContained(QString path)
    {
        const QStringList parts = path.replace('\\', '/').split('/');
        const bool drive = path.size() > 1 && path.at(1) == ':' && path.at(0).unicode() < 128 &&
                           path.at(0).isLetter();
        return !path.startsWith('/') && !drive && std::none_of(parts.begin(), parts.end(), climbs);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Every parsed argument writes a debug line: a million of them would drown the run.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    tst_fuzz test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fuzz.moc"
