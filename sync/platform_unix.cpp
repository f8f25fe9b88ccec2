#include "platform.h"

#include "hashrecord.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

bool flushToDisk(QFile &file)
{
    return file.flush() && ::fsync(file.handle()) == 0;
}

bool replaceFile(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

void hideFile(const QString &)
{}

void makeExecutable(const QString &path)
{
    QFile file(path);
    const QFile::Permissions permissions = file.permissions();
    if (!permissions.testFlag(QFile::ExeOwner))
        file.setPermissions(permissions | QFile::ExeOwner | QFile::ExeUser);
}

} // namespace Platform

// QFileInfo hands times out in local time, and converting one costs more
// than the stat itself; a start looks at every listed file.
FileStatus statusOf(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return {S_ISREG(status.st_mode), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000};
}
