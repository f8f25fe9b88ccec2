#include "platform.h"

#include "hashrecord.h"

#include <QDir>
#include <QFile>

#include <string>

#include <io.h>
#include <windows.h>

namespace {

// Qt's own file classes add the long-path prefix; direct Win32 calls get none.
std::wstring nativePath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QDir::cleanPath(path));
    if (native.size() >= MAX_PATH - 12 && !native.startsWith(QLatin1String("\\\\")))
        native.prepend(QLatin1String("\\\\?\\"));
    return native.toStdWString();
}

} // namespace

namespace Platform {

bool flushToDisk(QFile &file)
{
    return file.flush() &&
           FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())));
}

bool replaceFile(const QString &from, const QString &to)
{
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

void hideFile(const QString &path)
{
    const std::wstring native = nativePath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_HIDDEN))
        SetFileAttributesW(native.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
}

void makeExecutable(const QString &)
{}

} // namespace Platform

FileStatus statusOf(const QString &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(nativePath(path).c_str(), GetFileExInfoStandard, &data))
        return {};
    // 100 ns ticks since 1601 to milliseconds since 1970.
    const qint64 ticks =
        (qint64(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return {!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY),
            (qint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
            (ticks - 116444736000000000LL) / 10000};
}

FileStatus FileStatuses::of(const QString &path)
{
    return statusOf(path);
}

void FileStatuses::close()
{}
