#pragma once

#include <QString>

// What the agent sets up at its start that differs between Windows and Linux.

// Registers the running executable to start at the user's login: the per-user
// Run key on Windows, an XDG autostart entry elsewhere. Writes only when the
// stored value differs and, for the XDG entry, when the user has not turned it
// off; a failure is silent, the agent runs on without it.
void registerAutostart();

// A Windows GUI program has no stderr, so there the log also goes to files in
// the user's local application data folder; on Linux stderr reaches the journal.
void keepLogFile();

// The file dialog's filters for the main application; the first is preselected.
QString executableFileFilter();
