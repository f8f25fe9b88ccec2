#include "autostart.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// The general escaping of a desktop entry's string values.
QString escapeDesktopString(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    value.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    value.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return value;
}

// Desktops switch an autostart entry off by adding one of these keys to it.
bool turnedOff(const QByteArray &entry)
{
    for (const QByteArray &line : entry.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (equals > 0 && ((key == "Hidden" && value == "true") ||
                           (key == "X-GNOME-Autostart-enabled" && value == "false")))
            return true;
    }
    return false;
}

} // namespace

void writeDesktopEntry(const QString &name, const QString &program)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) +
                           QStringLiteral("/autostart");
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".desktop");
    const QByteArray content =
        QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n")
            .arg(escapeDesktopString(name), desktopEntryExec(program))
            .toUtf8();
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly)) {
        const QByteArray old = existing.readAll();
        if (old == content || turnedOff(old))
            return;
        existing.close();
    }
    QDir().mkpath(folder);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size())
        file.commit();
}

QString desktopEntryExec(const QString &program)
{
    // Quoted as one argument; inside the quotes '"', '`', '$' and '\' take a
    // backslash, then the string escaping doubles the backslashes again.
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    quoted.replace(QLatin1Char('%'), QLatin1String("%%"));
    return escapeDesktopString(quoted);
}
