#include "rig.h"

#include "indexes.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QtTest>

#include <openssl/evp.h>

namespace {
const QByteArray testSeed(32, '\x07');
const QByteArray testPublicKey = "6kpsY+KcUgq+9VB7Ey7F+ZVHdq6+vnuSQh7qaRRG0iw=";
} // namespace

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray bytesOf(const QString &name, int size)
{
    QByteArray bytes = name.toUtf8() + ':';
    while (bytes.size() < size)
        bytes += QByteArray::number(bytes.size()) + ' ';
    bytes.resize(size);
    return bytes;
}

// A whole 2xx whose receipt, if it has one, names the photo's bytes; once
// receipts came, only one with a receipt.
bool acceptsPhoto(const TestResponse &response, const QByteArray &photo, bool receiptsSeen)
{
    QHash<QByteArray, QByteArray> headers;
    for (const auto &[name, value] : response.headers)
        headers.insert(name, value);
    const QByteArray length = QByteArray::number(response.body.size());
    const QJsonValue receipt = QJsonDocument::fromJson(response.body).object().value("sha256");
    const QByteArray named = headers.value("X-Content-SHA256", receipt.toString().toLatin1());
    return response.status / 100 == 2 && !response.stall && response.closeAfterBytes < 0 &&
           headers.value("Content-Length", length) == length &&
           (headers.contains("X-Content-SHA256") || !receipt.isUndefined()
                ? named == sha256(photo) && (receipt.isUndefined() || receipt.isString())
                : !receiptsSeen);
}

void signIndex(TestResponse &response, const QByteArray &route, const QByteArray &device,
               qint64 counter)
{
    const QByteArray message = "lumipost-index-v1\n" + route + '\n' + device + '\n' +
                               QByteArray::number(counter) + '\n' + sha256(response.body);
    EVP_PKEY *key = EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const uchar *>(testSeed.data()), 32);
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    QByteArray signature(64, 0);
    size_t length = 64;
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(context, reinterpret_cast<uchar *>(signature.data()), &length,
                   reinterpret_cast<const uchar *>(message.data()), message.size());
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    response.headers = {{"X-Lumipost-Index-Counter", QByteArray::number(counter)},
                        {"X-Lumipost-Index-Signature", signature.toBase64()}};
}

Rig::Rig()
{
    QStandardPaths::setTestModeEnabled(true);
    server.setFallback([this](const RecordedRequest &r) { return answer(r); });
    server.listen();
}

// A started program is waited for, so it never runs in a removed folder.
Rig::~Rig()
{
    if (worker && WorkerProbe::mainAppStarted(*worker) && !program.isEmpty() &&
        !QTest::qWaitFor([this] { return QFile::exists(program + ".out"); }, 10000))
        qWarning("the started program wrote nothing");
}

// Every timing short; the first sync waits for a test that drives a flow by hand.
void Rig::start(const std::function<void(SyncConfig &)> &adjustConfig)
{
    if (adjustConfig)
        adjust = adjustConfig;
    SyncConfig config = testConfig(root, server.baseUrl());
    if (adjust)
        adjust(config);
    if (signIndexes)
        config.indexPublicKey = testPublicKey;
    worker.reset(); // one agent per company root
    worker = std::make_unique<SyncWorker>(config);
    logs = std::make_unique<QSignalSpy>(worker.get(), &SyncWorker::logAdded);
    progress = std::make_unique<QSignalSpy>(worker.get(), &SyncWorker::progressUpdated);
}

TestResponse Rig::answer(const RecordedRequest &r)
{
    TestResponse response = TestResponse::error(404);
    if (r.target == appIndexTarget && !appIndex.isNull()) {
        response = TestResponse::ok(appIndex);
        if (signIndexes)
            signIndex(response, "list_apps", "", ++indexCounter);
    } else if (r.target.startsWith(videoIndexPrefix) && !videoIndex.isNull()) {
        response = TestResponse::ok(videoIndex);
        if (signIndexes)
            signIndex(response, "list_videos", r.target.mid(videoIndexPrefix.size()),
                      ++indexCounter);
    } else if (r.path == "/sync_api.php" && r.target != uploadTarget)
        response.stall = true;
    else if (r.target == uploadTarget && r.part("photo"))
        response = TestResponse::ok(R"({"sha256":")" + sha256(r.part("photo")->body) + "\"}");
    else if (content.contains(r.path) || (echo && r.path.startsWith("/Lumipost/")))
        response = ranged(r, content.value(r.path, echoed(r)));
    if (fault)
        fault(response, r);

    if (const RecordedPart *photo = r.part("photo");
        photo && acceptsPhoto(response, photo->body, receiptsSeen))
        accepted.insert(photo->body);
    return response;
}

// A file with its validator; a Range continues it while If-Range still matches.
TestResponse Rig::ranged(const RecordedRequest &r, const QByteArray &bytes) const
{
    const QByteArray etag = '"' + QByteArray::number(qHash(bytes), 16) + '"';
    TestResponse response = TestResponse::ok(bytes);
    response.headers = {{"ETag", etag}};
    const QByteArray range = r.header("Range");
    if (!honourRange || !range.startsWith("bytes=") || r.header("If-Range") != etag)
        return response;
    const qint64 from = range.mid(6).chopped(1).toLongLong();
    response.status = 206;
    response.body = bytes.mid(from);
    response.headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                                  QByteArray::number(bytes.size() - 1) + '/' +
                                                  QByteArray::number(bytes.size())});
    return response;
}

// The request target, cut or padded to the size an index gives the file.
QByteArray Rig::echoed(const RecordedRequest &r) const
{
    const QString name = QUrl::fromPercentEncoding(r.path);
    QByteArray body = r.target;
    body.resize(0);
    for (const QByteArray &index : {appIndex, videoIndex})
        for (const QJsonValue entry : QJsonDocument::fromJson(index).array()) {
            QString listed = entry["relativePath"].toString(entry["filename"].toString());
            if (!listed.isEmpty() && name.endsWith('/' + listed.remove(QRegularExpression("^/"))))
                body =
                    r.target.leftJustified(qMin(readIndexSize(entry["size"]), 1 << 20), '.', true);
        }
    return body;
}

QString Rig::installProgram()
{
#ifdef Q_OS_WIN
    program = tmp.path() + "/app folder/run.cmd"; // Windows starts a batch file through cmd
    writeFile(program, "@cd >> \"%~f0.out\"\r\n");
#else
    program = tmp.path() + "/app folder/run.sh";
    writeFile(program, "#!/bin/sh\npwd >> \"$0.out\"\n");
#endif
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner);
    QSettings(root + "/config.ini", QSettings::IniFormat).setValue("MainApp/Path", program);
    return program;
}

QStringList Rig::lines() const
{
    QStringList all;
    for (const QVariantList &args : *logs)
        all << args.at(0).toString();
    return all;
}

// Whether lines starting with these prefixes were logged in this order.
bool Rig::loggedInOrder(const QStringList &prefixes) const
{
    qsizetype next = 0;
    for (const QString &line : lines())
        next += next < prefixes.size() && line.startsWith(prefixes.at(next));
    return next == prefixes.size();
}

QList<QByteArray> Rig::fetched() const
{
    QList<QByteArray> targets;
    for (const RecordedRequest &r : server.requests())
        if (r.path != "/sync_api.php")
            targets << r.target;
    return targets;
}
