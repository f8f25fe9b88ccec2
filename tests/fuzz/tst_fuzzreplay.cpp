#include "fuzzinputs.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

const QString corpusRoot = QStringLiteral(LUMIPOST_FUZZ_CORPUS);

QByteArray seed(const QString &relativePath)
{
    QFile file(corpusRoot + u'/' + relativePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The number of entries a seed reads as, or -1 when it reads as no index.
qsizetype entryCount(const QString &relativePath)
{
    const QByteArray body = seed(relativePath);
    if (relativePath.startsWith(QLatin1String("app/"))) {
        const std::optional<QList<AppIndexEntry>> entries = parseAppIndex(body);
        return entries ? entries->size() : -1;
    }
    const std::optional<QList<VideoIndexEntry>> entries = parseVideoIndex(body);
    return entries ? entries->size() : -1;
}

} // namespace

class FuzzReplayTest : public QObject
{
    Q_OBJECT

private slots:
    void replayCorpus_data();
    void replayCorpus();
    void entryCounts_data();
    void entryCounts();
    void validSeedsReadEveryField();
    void misshapenElementsHaveNoName();
};

void FuzzReplayTest::replayCorpus_data()
{
    QTest::addColumn<QString>("relativePath");
    for (const char *folder : {"app", "video"}) {
        const QStringList names =
            QDir(corpusRoot + u'/' + QLatin1String(folder)).entryList(QDir::Files, QDir::Name);
        QVERIFY2(!names.isEmpty(), folder);
        for (const QString &name : names)
            QTest::addRow("%s/%s", folder, qPrintable(name)) << folder + (u'/' + name);
    }
}

// Under the sanitizers this is where a seed that once crashed a fuzzer fails.
void FuzzReplayTest::replayCorpus()
{
    QFETCH(QString, relativePath);
    QFile file(corpusRoot + u'/' + relativePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray body = file.readAll();
    if (relativePath.startsWith(QLatin1String("app/")))
        readAppIndexInput(body);
    else
        readVideoIndexInput(body);
}

void FuzzReplayTest::entryCounts_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<qsizetype>("count");
    // An error page or an object must read as no index at all: an empty one
    // would make the mirror delete every local file.
    for (const char *folder : {"app", "video"}) {
        const QString prefix = QLatin1String(folder) + u'/';
        QTest::addRow("%s empty body", folder) << prefix + "empty" << qsizetype(-1);
        QTest::addRow("%s object", folder) << prefix + "object.json" << qsizetype(-1);
        QTest::addRow("%s truncated", folder) << prefix + "truncated.json" << qsizetype(-1);
        QTest::addRow("%s too deep", folder) << prefix + "deep-nesting.json" << qsizetype(-1);
        QTest::addRow("%s empty array", folder) << prefix + "empty-array.json" << qsizetype(0);
    }
    QTest::newRow("app error page") << "app/not-json.html" << qsizetype(-1);
    QTest::newRow("app trailing garbage") << "app/trailing-garbage.json" << qsizetype(-1);
    QTest::newRow("app valid") << "app/valid.json" << qsizetype(3);
    QTest::newRow("app unsafe paths") << "app/unsafe-paths.json" << qsizetype(8);
    QTest::newRow("app nested arrays") << "app/nested-arrays.json" << qsizetype(1);
    QTest::newRow("video error text") << "video/not-json.txt" << qsizetype(-1);
    QTest::newRow("video valid") << "video/valid.json" << qsizetype(2);
    QTest::newRow("video unsafe names") << "video/unsafe-names.json" << qsizetype(8);
}

void FuzzReplayTest::entryCounts()
{
    QFETCH(QString, relativePath);
    QFETCH(qsizetype, count);
    QCOMPARE(entryCount(relativePath), count);
}

void FuzzReplayTest::validSeedsReadEveryField()
{
    const std::optional<QList<AppIndexEntry>> app = parseAppIndex(seed("app/valid.json"));
    QVERIFY(app);
    QCOMPARE(app->size(), 3);
    QCOMPARE(app->at(0).relativePath, "main.exe");
    QCOMPARE(app->at(0).size, 1024);
    QCOMPARE(app->at(1).relativePath, "data/config.ini");
    QCOMPARE(app->at(1).size, 42);
    QCOMPARE(app->at(2).relativePath, "data");
    QVERIFY(app->at(2).isDir);

    const std::optional<QList<VideoIndexEntry>> video = parseVideoIndex(seed("video/valid.json"));
    QVERIFY(video);
    QCOMPARE(video->size(), 2);
    QCOMPARE(video->at(0).type, "public");
    QCOMPARE(video->at(0).fileName, "promo.mp4");
    QCOMPARE(video->at(0).size, 1048576);
    QCOMPARE(video->at(1).type, "private");
    QCOMPARE(video->at(1).fileName, "welcome.mp4");
}

// Elements of the wrong shape keep their place but carry no name, which both
// flows refuse before they build a path.
void FuzzReplayTest::misshapenElementsHaveNoName()
{
    const std::optional<QList<AppIndexEntry>> app = parseAppIndex(seed("app/wrong-types.json"));
    QVERIFY(app);
    QCOMPARE(app->size(), 7);
    for (const AppIndexEntry &entry : *app)
        QVERIFY(entry.relativePath.isEmpty());

    const std::optional<QList<VideoIndexEntry>> video =
        parseVideoIndex(seed("video/wrong-types.json"));
    QVERIFY(video);
    QCOMPARE(video->size(), 5);
    for (const VideoIndexEntry &entry : *video)
        QVERIFY(entry.fileName.isEmpty());
}

QTEST_GUILESS_MAIN(FuzzReplayTest)
#include "tst_fuzzreplay.moc"
