#include "fuzzinputs.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class FuzzReplayTest : public QObject
{
    Q_OBJECT

private slots:
    void replayCorpus_data();
    void replayCorpus();
};

// Every seed, and for the ones that matter the number of entries it reads as.
// An error page or an object must read as no index (-1): an empty one would
// make the mirror delete every local file.
void FuzzReplayTest::replayCorpus_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("entries");
    QHash<QString, int> expected{{"empty-array.json", 0},  {"nested-arrays.json", 1},
                                 {"unsafe-paths.json", 8}, {"unsafe-names.json", 8},
                                 {"app/valid.json", 3},    {"video/valid.json", 2}};
    for (const QString name : {"empty", "object.json", "truncated.json", "deep-nesting.json",
                               "not-json.html", "trailing-garbage.json", "not-json.txt"})
        expected.insert(name, -1);
    for (const char *folder : {"app", "video"}) {
        const QString dir = QStringLiteral(LUMIPOST_FUZZ_CORPUS) + '/' + folder;
        const QStringList names = QDir(dir).entryList(QDir::Files, QDir::Name);
        QVERIFY2(!names.isEmpty(), folder);
        for (const QString &name : names)
            QTest::addRow("%s/%s", folder, qPrintable(name))
                << dir + '/' + name
                << expected.value(name, expected.value(folder + ('/' + name), -2));
    }
}

// Under the sanitizers this is where a seed that once crashed a fuzzer fails.
void FuzzReplayTest::replayCorpus()
{
    QFETCH(QString, path);
    QFETCH(int, entries);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray body = file.readAll();
    const bool app = path.contains("/app/");
    readIndexInput(body, app);
    const auto appIndex = parseAppIndex(body);
    const auto videoIndex = parseVideoIndex(body);
    const qsizetype read =
        app ? (appIndex ? appIndex->size() : -1) : (videoIndex ? videoIndex->size() : -1);
    if (entries != -2)
        QCOMPARE(read, entries);
}

QTEST_GUILESS_MAIN(FuzzReplayTest)
#include "tst_fuzzreplay.moc"
