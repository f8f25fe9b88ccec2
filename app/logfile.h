#pragma once

#include <QFile>
#include <QString>

// The agent's messages in size-capped files an operator can read. The newest
// is "lumipost-sync.log"; once a line would take it past `maxBytes` it becomes
// "lumipost-sync.1.log", the older ones move up one, and the oldest of `files`
// goes, so the folder never holds more than files × maxBytes.
class LogFile
{
public:
    explicit LogFile(const QString &folder, qint64 maxBytes = qint64(1) << 20, int files = 5);

    void append(const QString &line);
    QString pathOf(int generation) const;

private:
    void rotate();

    QString m_folder;
    qint64 m_maxBytes;
    int m_files;
    QFile m_file;
};

// Every message of the program also goes, with its time, to a LogFile in
// `folder`, for the rest of the process's life.
void keepLogIn(const QString &folder);
