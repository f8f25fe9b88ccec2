#pragma once

#include <QString>
#include <QUrl>

// The six exchanges with the sync server. Each URL is the base URL followed by
// the request path, parsed tolerantly: spaces and stray '%' get encoded, while
// '?' and '#' keep their meaning.
namespace ServerApi {
QUrl appIndexUrl(const QString &baseUrl);
QUrl appFileUrl(const QString &baseUrl, const QString &relativePath);
QUrl uploadUrl(const QString &baseUrl);
QUrl videoIndexUrl(const QString &baseUrl, const QString &deviceUuid);
QUrl publicVideoUrl(const QString &baseUrl, const QString &fileName);
QUrl privateVideoUrl(const QString &baseUrl, const QString &deviceUuid, const QString &fileName);
} // namespace ServerApi
