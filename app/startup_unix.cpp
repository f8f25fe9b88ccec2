#include "startup.h"

#include "autostart.h"

#include <QCoreApplication>

void registerAutostart()
{
    writeDesktopEntry(QCoreApplication::applicationName(), QCoreApplication::applicationFilePath());
}

void keepLogFile()
{}

QString executableFileFilter()
{
    // Programs here have no .exe suffix: preselecting it would hide them all.
    return QCoreApplication::translate("MainWindow", "All Files (*);;Executable Files (*.exe)");
}
