#include "startup.h"

#include "logfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

void registerAutostart()
{
    QSettings settings(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
        QSettings::NativeFormat);
    const QString name = QCoreApplication::applicationName();
    const QString value = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
    if (settings.value(name).toString() != value)
        settings.setValue(name, value);
}

void keepLogFile()
{
    keepLogIn(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
}

QString executableFileFilter()
{
    return QCoreApplication::translate("MainWindow", "Executable Files (*.exe);;All Files (*)");
}
