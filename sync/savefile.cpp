#include "savefile.h"

#include <QSaveFile>

QString saveFileAtomically(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    // Unbuffered, so that a short write (a full disk) shows here: buffered, the
    // flush inside commit() drops the rest silently and the truncated file
    // replaces the target as if it were whole.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    const qint64 written = file.write(data);
    if (written != data.size()) {
        const QString reason =
            written < 0 ? file.errorString()
                        : QStringLiteral("Wrote only %1 of %2 bytes").arg(written).arg(data.size());
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}
