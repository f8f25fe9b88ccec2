#include "platform.h"

#include "hashrecord.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
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

namespace {

FileStatus statusFrom(const struct stat &status)
{
    return {S_ISREG(status.st_mode), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000};
}

} // namespace

// QFileInfo hands times out in local time, and converting one costs more
// than the stat itself; a start looks at every listed file.
FileStatus statusOf(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return statusFrom(status);
}

FileStatus FileStatuses::of(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash <= 0)
        return statusOf(path);
    const QStringView folder = QStringView(path).first(slash);
    if (folder != m_folder) {
        close();
        m_folder = folder.toString();
        m_handle =
            ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (m_handle < 0)
        return statusOf(path);
    struct stat status;
    const QByteArray name = QStringView(path).sliced(slash + 1).toLocal8Bit();
    if (::fstatat(m_handle, name.constData(), &status, 0) != 0)
        return {};
    return statusFrom(status);
}

void FileStatuses::close()
{
    if (m_handle >= 0)
        ::close(m_handle);
    m_handle = -1;
    m_folder.clear();
}
