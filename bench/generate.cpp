#include "bench.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cmath>

namespace {

constexpr int filesPerFolder = 50;

void writeFileOfSize(const QString &path, qint64 size, const QByteArray &pattern)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    for (qint64 left = size; left > 0;) {
        const qint64 chunk = std::min<qint64>(left, pattern.size());
        if (file.write(pattern.constData(), chunk) != chunk)
            fail(QStringLiteral("short write to %1: %2").arg(path, file.errorString()));
        left -= chunk;
    }
}

QByteArray jsonEntry(const QString &relativePath, qint64 size, bool isDir,
                     const QByteArray &sha256 = QByteArray())
{
    return QByteArrayLiteral("{\"relativePath\":\"") + relativePath.toUtf8() +
           QByteArrayLiteral("\",\"size\":") + QByteArray::number(size) +
           (sha256.isEmpty() ? QByteArray() : ",\"sha256\":\"" + sha256 + '"') +
           (isDir ? QByteArrayLiteral(",\"isDir\":true}") : QByteArrayLiteral(",\"isDir\":false}"));
}

void writeWhole(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        fail(QStringLiteral("cannot write %1").arg(path));
}

// The nested shape of a reconcile set: top folders holding leaf folders of
// about fifty files each, so that folders are about 2 % of the entries.
struct TreeShape
{
    explicit TreeShape(int entries)
    {
        leaves = std::max(1, entries / (filesPerFolder + 1));
        leavesPerTop = int(std::ceil(std::sqrt(double(leaves))));
        tops = (leaves + leavesPerTop - 1) / leavesPerTop;
        files = std::max(0, entries - tops - leaves);
    }
    QString topPath(int top) const
    {
        return QStringLiteral("d%1").arg(top, 3, 10, QLatin1Char('0'));
    }
    QString leafPath(int leaf) const
    {
        return topPath(leaf / leavesPerTop) +
               QStringLiteral("/s%1").arg(leaf % leavesPerTop, 3, 10, QLatin1Char('0'));
    }
    int leaves, leavesPerTop, tops, files;
};

} // namespace

// A server tree (the rsync source), a local product folder that differs from
// it in 1 % resized files and 1 % unlisted files, and the index of the server
// tree as the server would send it, stored as D/index/sync_api.php so that a
// file:// base URL hands the agent exactly that body.
int makeReconcileSet(const QCommandLineParser &args)
{
    const QString dir = args.value(QStringLiteral("dir"));
    const TreeShape shape(args.value(QStringLiteral("entries")).toInt());
    const QString server = dir + QStringLiteral("/server/");
    const QString local = dir + QStringLiteral("/root/Lumipost/");
    const QByteArray pattern(4096, 'x');
    QDir().mkpath(dir + QStringLiteral("/index"));

    // The same index a second time with content hashes, as a server that has them sends it.
    QByteArray index("[");
    QByteArray hashed("[");
    auto addEntry = [&index, &hashed](const QByteArray &entry, const QByteArray &hashedEntry) {
        if (index.size() > 1) {
            index += ',';
            hashed += ',';
        }
        index += entry;
        hashed += hashedEntry;
    };
    int resized = 0;
    int file = 0;
    for (int leaf = 0; leaf < shape.leaves; ++leaf) {
        if (leaf % shape.leavesPerTop == 0)
            addEntry(jsonEntry(shape.topPath(leaf / shape.leavesPerTop), 0, true),
                     jsonEntry(shape.topPath(leaf / shape.leavesPerTop), 0, true));
        const QString leafPath = shape.leafPath(leaf);
        QDir().mkpath(server + leafPath);
        QDir().mkpath(local + leafPath);
        addEntry(jsonEntry(leafPath, 0, true), jsonEntry(leafPath, 0, true));
        const int end = (shape.files * qint64(leaf + 1)) / shape.leaves;
        for (; file < end; ++file) {
            const QString path =
                leafPath + QStringLiteral("/f%1.dat").arg(file, 6, 10, QLatin1Char('0'));
            const qint64 size = 1 + file % 200;
            const bool isResized = file % 100 == 50;
            resized += isResized;
            writeFileOfSize(server + path, size, pattern);
            writeFileOfSize(local + path, size + (isResized ? 1 : 0), pattern);
            const QByteArray sha256 =
                QCryptographicHash::hash(pattern.left(size), QCryptographicHash::Sha256).toHex();
            addEntry(jsonEntry(path, size, false), jsonEntry(path, size, false, sha256));
        }
    }
    index += ']';
    hashed += ']';
    writeWhole(dir + QStringLiteral("/index/sync_api.php"), index);
    QDir().mkpath(dir + QStringLiteral("/index-hashed"));
    writeWhole(dir + QStringLiteral("/index-hashed/sync_api.php"), hashed);

    QByteArray extras;
    const int extraCount = std::max(1, (shape.tops + shape.leaves + shape.files) / 100);
    for (int extra = 0; extra < extraCount; ++extra) {
        const QString path = shape.leafPath(extra * 37 % shape.leaves) +
                             QStringLiteral("/stale%1.tmp").arg(extra, 6, 10, QLatin1Char('0'));
        writeFileOfSize(local + path, 10, pattern);
        extras += path.toUtf8() + '\n';
    }
    writeWhole(dir + QStringLiteral("/extras.txt"), extras);

    QJsonObject sample{{QStringLiteral("entries"), shape.tops + shape.leaves + shape.files},
                       {QStringLiteral("folders"), shape.tops + shape.leaves},
                       {QStringLiteral("files"), shape.files},
                       {QStringLiteral("resized"), resized},
                       {QStringLiteral("unlisted"), extraCount}};
    printSample(args, sample);
    return 0;
}

// COUNT files of SIZE bytes named PREFIX00000SUFFIX..., each starting with its
// own number so that no two are alike.
int makeFiles(const QCommandLineParser &args)
{
    const QString dir = args.value(QStringLiteral("dir"));
    const int count = args.value(QStringLiteral("count")).toInt();
    const qint64 size = args.value(QStringLiteral("size")).toLongLong();
    QDir().mkpath(dir);
    QByteArray pattern(1 << 20, Qt::Uninitialized);
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(pattern.data()),
                                   pattern.size() / sizeof(quint32));
    for (int i = 0; i < count; ++i) {
        const QByteArray number = QByteArray::number(i).rightJustified(8, '0');
        pattern.replace(0, number.size(), number);
        const QString name = args.value(QStringLiteral("prefix")) +
                             QStringLiteral("%1").arg(i, 5, 10, QLatin1Char('0')) +
                             args.value(QStringLiteral("suffix"));
        writeFileOfSize(dir + u'/' + name, size, pattern);
    }
    return 0;
}
