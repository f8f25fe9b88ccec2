#pragma once

#include <QString>

// The XDG autostart entry `name` that runs `program`, unless it is there
// already or the user turned it off.
void writeDesktopEntry(const QString &name, const QString &program);

// The Exec value of an XDG desktop entry that runs `program` without arguments.
QString desktopEntryExec(const QString &program);
