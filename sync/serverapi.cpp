#include "serverapi.h"

namespace {
QUrl tolerant(const QString &baseUrl, const QString &path)
{
    return QUrl(baseUrl + path, QUrl::TolerantMode);
}
} // namespace

namespace ServerApi {

QUrl appIndexUrl(const QString &baseUrl)
{
    return tolerant(baseUrl, QStringLiteral("/sync_api.php?action=list_apps"));
}

QUrl appFileUrl(const QString &baseUrl, const QString &relativePath)
{
    return tolerant(baseUrl, QStringLiteral("/Lumipost/Application/") + relativePath);
}

QUrl uploadUrl(const QString &baseUrl)
{
    return tolerant(baseUrl, QStringLiteral("/sync_api.php?action=upload"));
}

QUrl videoIndexUrl(const QString &baseUrl, const QString &deviceUuid)
{
    return tolerant(
        baseUrl, QStringLiteral("/sync_api.php?action=list_videos&device_uuid=%1").arg(deviceUuid));
}

QUrl publicVideoUrl(const QString &baseUrl, const QString &fileName)
{
    return tolerant(baseUrl, QStringLiteral("/Lumipost/ADS/Public/") + fileName);
}

QUrl privateVideoUrl(const QString &baseUrl, const QString &deviceUuid, const QString &fileName)
{
    // Both values go in one pass, so a "%2" inside a device name stays as it is.
    return tolerant(baseUrl,
                    QStringLiteral("/Lumipost/ADS/Private/%1/%2").arg(deviceUuid, fileName));
}

} // namespace ServerApi
