#pragma once

#include <QString>

// Registers the running executable to start at the user's login: the per-user
// Run key on Windows, an XDG autostart entry elsewhere. Writes only when the
// stored value differs and, for the XDG entry, when the user has not turned it
// off; a failure is silent, the agent runs on without it.
void registerAutostart();

// The Exec value of an XDG desktop entry that runs `program` without arguments.
QString desktopEntryExec(const QString &program);
