#include "logfile.h"

#include <QDateTime>
#include <QDir>

LogFile::LogFile(const QString &folder, qint64 maxBytes, int files)
    : m_folder(folder), m_maxBytes(maxBytes), m_files(files)
{
    QDir().mkpath(m_folder);
    m_file.setFileName(pathOf(0));
}

QString LogFile::pathOf(int generation) const
{
    return m_folder + (generation == 0 ? QStringLiteral("/lumipost-sync.log")
                                       : QStringLiteral("/lumipost-sync.%1.log").arg(generation));
}

void LogFile::append(const QString &line)
{
    QByteArray bytes = line.toUtf8();
    bytes = bytes.left(m_maxBytes - 1) + '\n'; // one overlong line still fits its file
    if (!m_file.isOpen() && !m_file.open(QIODevice::Append))
        return; // a log that cannot be written must not stop the agent
    if (m_file.size() > 0 && m_file.size() + bytes.size() > m_maxBytes) {
        rotate();
        if (!m_file.open(QIODevice::Append))
            return;
    }
    m_file.write(bytes);
    m_file.flush(); // a crash or a power cut keeps what led to it
}

void LogFile::rotate()
{
    m_file.close();
    QFile::remove(pathOf(m_files - 1));
    for (int generation = m_files - 2; generation >= 0; --generation)
        QFile::rename(pathOf(generation), pathOf(generation + 1));
}

namespace {

LogFile *logFile = nullptr;
QtMessageHandler qtHandler = nullptr;

void writeMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    logFile->append(QDateTime::currentDateTime().toString(Qt::ISODate) + u' ' + message);
    qtHandler(type, context, message);
}

} // namespace

void keepLogIn(const QString &folder)
{
    logFile = new LogFile(folder); // lives as long as the process: messages come until the end
    qtHandler = qInstallMessageHandler(writeMessage);
}
