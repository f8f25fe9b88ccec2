<?php
// php's built-in server, answering like the nginx set-up in nginx-lumipost.conf. Start it with
//   LUMIPOST_SERVER_DATA=/srv/lumipost/data php server/router.php 127.0.0.1:8080
// which runs `php -S 127.0.0.1:8080 server/router.php` with the settings of common.php (and with
// `php -n`, without php.ini, when started so).
declare(strict_types=1);
require_once __DIR__ . '/common.php';
require_once __DIR__ . '/fleet_store.php';

if (PHP_SAPI === 'cli') {
    if (!preg_match('/^\S+:\d+$/', $argv[1] ?? '')) {
        fwrite(STDERR, "usage: php server/router.php HOST:PORT\n");
        exit(2);
    }
    $ini = php_ini_loaded_file();
    $arguments = $ini === false ? ['-n'] : ['-c', $ini];
    // Without php.ini no extension is loaded: the state database's drivers, where installed.
    foreach (['pdo', 'pdo_sqlite', 'pdo_pgsql'] as $extension) {
        if (!extension_loaded($extension) && is_file(ini_get('extension_dir') . "/$extension.so")) {
            array_push($arguments, '-d', "extension=$extension");
        }
    }
    foreach (PHP_SETTINGS as $name => $value) {
        array_push($arguments, '-d', "$name=$value");
    }
    pcntl_exec(PHP_BINARY, [...$arguments, '-S', $argv[1], __FILE__]);
    exit(1);
}

function answer(int $status, array $headers = []): never
{
    http_response_code($status);
    foreach ($headers as $header) {
        header($header);
    }
    exit;
}

// The file that a decoded URL path names, or null: a plain file in one of the trees as the indexes
// list them, every name served, reached without a symlink below the tree's folder (which itself may
// be one, resolved once).
function servedFile(string $path): ?string
{
    if (!preg_match('#^/Lumipost/(?:(Application)/(.+)|ADS/(Public)/([^/]+)|ADS/Private/([^/]+)/([^/]+))$#',
                    $path, $m)) {
        return null;
    }
    [$tree, $rest] = match (true) {
        $m[1] !== '' => ['Lumipost/Application', $m[2]],
        $m[3] !== '' => ['Lumipost/ADS/Public', $m[4]],
        default => ["Lumipost/ADS/Private/$m[5]", $m[6]],
    };
    if (!allMatch(explode('/', "$tree/$rest"), 'isServedName')) {
        return null;
    }
    $root = realpath(dataRoot() . "/$tree");
    $file = $root === false ? false : realpath("$root/$rest");
    return $file === "$root/$rest" && is_file($file) ? $file : null;
}

// An IMF-fixdate (the form of Last-Modified) as a Unix time; null for anything else.
function httpTime(?string $text): ?int
{
    $months = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
    if ($text === null || !preg_match('/^[A-Za-z]{3}, (\d\d) ([A-Za-z]{3}) (\d{4}) (\d\d):(\d\d):(\d\d) GMT$/', $text, $m)
        || ($month = array_search($m[2], $months, true)) === false || !checkdate($month + 1, (int) $m[1], (int) $m[3])
        || $m[4] > 23 || $m[5] > 59 || $m[6] > 59) {
        return null;
    }
    return gmmktime((int) $m[4], (int) $m[5], (int) $m[6], $month + 1, (int) $m[1], (int) $m[3]);
}

// If-Match and If-None-Match as nginx reads them: "*" or a list of tags, weak ones (W/) only if $weak.
function listHasTag(string $list, string $etag, bool $weak): bool
{
    foreach (explode(',', $list) as $tag) {
        $tag = trim($tag, " \t");
        if (($weak && str_starts_with($tag, 'W/') ? substr($tag, 2) : $tag) === $etag) {
            return true;
        }
    }
    return $list === '*';
}

// nginx's Range parser with max_ranges 1: [start, end) of one range, null to send the whole file
// (no range, several ranges, or "bytes=0-" of an empty file), false for 416.
function byteRange(string $header, int $size): array|false|null
{
    $range = false;
    foreach (explode(",", $header) as $part) {
        if (!preg_match('/^ *(?:(\d{1,18}) *- *(\d{0,18})|- *(\d{1,18})) *$/', $part, $m)) {
            return false;
        }
        $suffix = isset($m[3]);
        $start = $suffix ? max(0, $size - (int) $m[3]) : (int) $m[1];
        $end = $suffix || $m[2] === '' ? $size : min($size, (int) $m[2] + 1);
        if ($start < $end) {
            if ($range !== false) {
                return null;
            }
            $range = [$start, $end];
        } elseif ($start === 0) {
            return null;
        }
    }
    return $range;
}

$rawPath = explode('?', $_SERVER['REQUEST_URI'], 2)[0];
if ($rawPath === '/sync_api.php') {
    require __DIR__ . '/sync_api.php';
    exit;
}
if ($rawPath === '/fleet/' || $rawPath === '/fleet.json') {
    require __DIR__ . '/fleet.php';
}
// As nginx: a bad request for a NUL or a path that climbs above the root, 404 for dot segments.
$path = rawurldecode($rawPath);
$depth = 0;
foreach (explode('/', substr($path, 1)) as $segment) {
    $depth += $segment === '..' ? -1 : (int) ($segment !== '.' && $segment !== '');
    if ($depth < 0 || str_contains($segment, "\0")) {
        answer(400);
    }
}
$file = servedFile($path) ?? answer(404);
watchVideoFetch($path);
$method = $_SERVER['REQUEST_METHOD'];
if ($method !== 'GET' && $method !== 'HEAD') {
    answer(405, ['Allow: GET, HEAD']);
}
// Checked before any header goes out: an unreadable file is not served (404, as nginx-lumipost.conf).
$handle = @fopen($file, 'r') ?: answer(404);
['size' => $size, 'mtime' => $mtime] = fstat($handle);
$etag = sprintf('"%x-%x"', $mtime, $size);
$validators = ['Last-Modified: ' . gmdate('D, d M Y H:i:s', $mtime) . ' GMT', "ETag: $etag"];

// Conditional requests as nginx's not_modified filter, then ranges as its range filter.
[$ifMatch, $ifNoneMatch, $ifModifiedSince, $ifUnmodifiedSince, $ifRange, $rangeHeader] = array_map(
    fn($name) => $_SERVER["HTTP_$name"] ?? null,
    ['IF_MATCH', 'IF_NONE_MATCH', 'IF_MODIFIED_SINCE', 'IF_UNMODIFIED_SINCE', 'IF_RANGE', 'RANGE']);
if ($ifUnmodifiedSince !== null && !(httpTime($ifUnmodifiedSince) >= $mtime)
    || $ifMatch !== null && !listHasTag($ifMatch, $etag, false)) {
    answer(412);
}
if (($ifModifiedSince ?? $ifNoneMatch) !== null
    && ($ifModifiedSince === null || httpTime($ifModifiedSince) === $mtime)
    && ($ifNoneMatch === null || listHasTag($ifNoneMatch, $etag, true))) {
    answer(304, $validators);
}
$range = null;
if (strlen($rangeHeader ?? '') >= 7 && strncasecmp($rangeHeader, 'bytes=', 6) === 0
    && ($ifRange === null || (strlen($ifRange) >= 2 && str_ends_with($ifRange, '"')
                              ? $ifRange === $etag : httpTime($ifRange) === $mtime))) {
    $range = byteRange(substr($rangeHeader, 6), $size);
    if ($range === false) {
        answer(416, ["Content-Range: bytes */$size"]);
    }
}

// Videos are large: stream them instead of buffering.
while (ob_get_level() > 0) {
    ob_end_clean();
}
[$start, $end] = $range ?? [0, $size];
http_response_code($range === null ? 200 : 206);
header('Content-Type: application/octet-stream');
header('Content-Length: ' . ($end - $start));
array_map('header', $validators);
header($range === null ? 'Accept-Ranges: bytes' : 'Content-Range: bytes ' . $start . '-' . ($end - 1) . "/$size");
if ($method === 'GET' && $end > $start) {
    stream_copy_to_stream($handle, fopen('php://output', 'w'), $end - $start, $start);
}
