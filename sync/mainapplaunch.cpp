#include "syncworker.h"

#include "platform.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTimer>

#include <chrono>

namespace {

const QLatin1String mainAppPathKey("MainApp/Path");

} // namespace

void SyncWorker::launchMainApplication()
{
    if (m_mainAppStarted)
        return;
    const qint64 elapsed = m_bootTimer.elapsed();
    if (elapsed < m_config.bootDelayMs) {
        const qint64 remaining = m_config.bootDelayMs - elapsed;
        emit logAdded(QStringLiteral("App sync finished early or network error. Waiting remaining "
                                     "%1ms to satisfy the 1-minute boot delay...")
                          .arg(remaining));
        QTimer::singleShot(std::chrono::milliseconds(remaining), this,
                           &SyncWorker::launchMainApplication);
        return;
    }

    const QString path =
        QSettings(m_config.configIniPath, QSettings::IniFormat).value(mainAppPathKey).toString();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        emit logAdded(QStringLiteral(
            "Main application path is not set or file missing. Asking user to select..."));
        // The window answers inside this emission with a modal dialog and may
        // call back into saveMainAppPath; whatever that nested call did stands.
        emit needToSelectExecutable();
        return;
    }

    emit logAdded(
        QStringLiteral(">>> 1-Minute boot delay satisfied. Executing Main Application: ") + path);
    Platform::makeExecutable(path);
    if (!QProcess::startDetached(path, {}, QFileInfo(path).absolutePath())) {
        emit logAdded(
            QStringLiteral("!!! FAILED to start Main Application. Checking path/permissions."));
        return;
    }
    m_mainAppStarted = true;
    emit logAdded(QStringLiteral("Main Application started successfully."));
}

void SyncWorker::saveMainAppPath(const QString &path)
{
    // Written through before the launch reads it back, so no settings object
    // is left open while the launch may ask the user again.
    {
        QSettings settings(m_config.configIniPath, QSettings::IniFormat);
        settings.setValue(mainAppPathKey, path);
    }
    emit logAdded(QStringLiteral("Saved main application path to config.ini: ") + path);
    launchMainApplication();
}
