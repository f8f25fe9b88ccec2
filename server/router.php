<?php
// Router for php's built-in server, answering like the nginx set-up in nginx-lumipost.conf:
//   LUMIPOST_SERVER_DATA=/srv/lumipost/data php -d upload_max_filesize=512M \
//       -d post_max_size=512M -S 127.0.0.1:8080 server/router.php
declare(strict_types=1);
require_once __DIR__ . '/common.php';

function notFound(): never
{
    http_response_code(404);
    exit;
}

$path = rawurldecode((string) parse_url($_SERVER['REQUEST_URI'], PHP_URL_PATH));
if ($path === '/sync_api.php') {
    require __DIR__ . '/sync_api.php';
    exit;
}
if (!preg_match('#^/Lumipost/(Application|ADS)/#', $path)) {
    notFound();
}
$method = $_SERVER['REQUEST_METHOD'];
if ($method !== 'GET' && $method !== 'HEAD') {
    http_response_code(405);
    header('Allow: GET, HEAD');
    exit;
}

// realpath() must give back the very path asked for: no "..", no symlinks, no doubled slashes.
$relative = substr($path, 1);
if (!areSafeNames(explode('/', $relative))) {
    notFound();
}
$root = realpath(dataRoot());
$file = $root === false ? false : realpath("$root/$relative");
if ($file !== "$root/$relative" || !is_file($file)) {
    notFound();
}

// Videos are large: stream them instead of buffering.
while (ob_get_level() > 0) {
    ob_end_clean();
}
header('Content-Type: application/octet-stream');
header('Content-Length: ' . filesize($file));
if ($method === 'GET') {
    readfile($file);
}
