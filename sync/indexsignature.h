#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Checks that an index is the one the operator's server signed for this
// request, and not an older one: the signature covers the body's SHA-256, the
// route, the device and a counter that only grows on the server. The newest
// counter accepted per route is kept in a hidden file, so a restart does not
// let an older index back in. Layout in server/README.md.
class IndexSignatures
{
public:
    // `publicKey` as the build gives it (base64 of 32 bytes); empty: indexes
    // are taken unsigned, as before signing existed.
    IndexSignatures(const QByteArray &publicKey, const QString &counterFile);

    bool isOn() const { return !m_publicKey.isEmpty(); }
    // Why the index in `body`, with the answer's counter and signature
    // headers, is refused, or empty when it is taken; the counter of a taken
    // index is kept as the newest for its route.
    QString refusal(const QByteArray &counter, const QByteArray &signature, const QByteArray &body,
                    const QByteArray &route, const QString &device);

private:
    void saveCounters() const;

    QByteArray m_publicKey;
    QString m_counterFile;
    QHash<QByteArray, qint64> m_newest; // route -> counter
};

// The hidden file's name; the mirror's pass leaves it out by name.
extern const QLatin1String indexCounterName;
