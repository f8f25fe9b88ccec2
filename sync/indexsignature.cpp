#include "indexsignature.h"

#include "crypto.h"
#include "platform.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>

const QLatin1String indexCounterName(".lumipost-index-counters");

namespace {

constexpr qsizetype maxCounterDigits = 18; // stays within qint64

bool isCounter(const QByteArray &text)
{
    return !text.isEmpty() && text.size() <= maxCounterDigits &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

// One line per route: "<route> <counter>". A line that does not read so is
// left out, which only lets that route's counter start again from the server's.
IndexSignatures::IndexSignatures(const QByteArray &publicKey, const QString &counterFile)
    : m_publicKey(QByteArray::fromBase64(publicKey)), m_counterFile(counterFile)
{
    QFile file(m_counterFile);
    if (!isOn() || !file.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2 && isCounter(parts.at(1)))
            m_newest.insert(parts.at(0), parts.at(1).toLongLong());
    }
}

QString IndexSignatures::refusal(const QByteArray &counter, const QByteArray &signature,
                                 const QByteArray &body, const QByteArray &route,
                                 const QString &device)
{
    if (counter.isEmpty() && signature.isEmpty())
        return QStringLiteral("the index is not signed");
    const auto decoded =
        QByteArray::fromBase64Encoding(signature, QByteArray::AbortOnBase64DecodingErrors);
    if (!isCounter(counter) || !decoded)
        return QStringLiteral("malformed signature headers");
    const QByteArray message = "lumipost-index-v1\n" + route + '\n' + device.toUtf8() + '\n' +
                               counter + '\n' + Sha256::hexOf(body);
    if (!isEd25519Signature(m_publicKey, message, *decoded))
        return QStringLiteral("the signature does not match this index");
    // An index captured earlier stays validly signed: only its counter tells.
    const qint64 newest = m_newest.value(route, 0);
    if (counter.toLongLong() < newest)
        return QStringLiteral("index %1 is older than index %2, accepted before")
            .arg(QString::fromLatin1(counter))
            .arg(newest);
    if (counter.toLongLong() > newest) {
        m_newest.insert(route, counter.toLongLong());
        saveCounters();
    }
    return QString();
}

void IndexSignatures::saveCounters() const
{
    QByteArray text;
    for (auto it = m_newest.cbegin(); it != m_newest.cend(); ++it)
        text += it.key() + ' ' + QByteArray::number(it.value()) + '\n';
    QSaveFile file(m_counterFile);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        Platform::hideFile(m_counterFile);
}
