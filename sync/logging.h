#pragma once

#include <QLoggingCategory>

// Every line the agent shows in its window also goes here, so an operator can
// follow a kiosk from stderr or the journal.
Q_DECLARE_LOGGING_CATEGORY(lcSync)
