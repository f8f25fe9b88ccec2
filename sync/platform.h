#pragma once

#include <QString>

class QFile;

// What the kiosks' Windows and Linux do differently, one function each, so
// the flows read the same on both.
namespace Platform {

// Both the data and the name must survive a power cut before a rename
// makes a new file the real one.
bool flushToDisk(QFile &file);

// Renames `from` over `to` in one step, so the target is never missing;
// QFile::rename refuses an existing target.
bool replaceFile(const QString &from, const QString &to);

// Keeps a file the agent writes for itself out of sight of players and of
// the user. A leading dot does this on Unix; Windows needs the attribute.
void hideFile(const QString &path);

// The mirror cannot carry file modes, so a program arrives without its
// execute bit on Unix; Windows has none.
void makeExecutable(const QString &path);

// Whether two names that differ only in letter case are one file.
constexpr Qt::CaseSensitivity fileNameCase =
#ifdef Q_OS_WIN
    Qt::CaseInsensitive;
#else
    Qt::CaseSensitive;
#endif

// The key under which a name stands for one file in a set or a map.
inline QString fileNameKey(const QString &name)
{
    return fileNameCase == Qt::CaseSensitive ? name : name.toCaseFolded();
}

} // namespace Platform
