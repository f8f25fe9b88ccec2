<?php
// Sync API of the Lumipost kiosks: ?action=list_apps, list_videos (GET) and upload (POST).
declare(strict_types=1);
require_once __DIR__ . '/common.php';
require_once __DIR__ . '/hashes.php';
require_once __DIR__ . '/fleet_store.php';
require_once __DIR__ . '/signing.php';

const JSON_FLAGS = JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE | JSON_THROW_ON_ERROR;
const MAX_SUFFIX = 9999;
const MAX_NAME_BYTES = 250; // 255, less room for the longest suffix "-9999"
const STALE_TEMP_SECONDS = 3600;

function respond(int $status, array $body, array $headers = []): never
{
    http_response_code($status);
    header('Content-Type: application/json');
    foreach ($headers as $header) {
        header($header);
    }
    echo json_encode($body, JSON_FLAGS);
    exit;
}

// ---- Indexes -------------------------------------------------------------------------------

// Entries go into a temporary stream (on disk past 2 MiB) as the tree is walked, so memory stays flat
// in the number of files; the answer goes out with its length once whole, so a folder that cannot be
// read midway still answers 500 and never half an index, which would make every kiosk delete the rest.
function openIndex()
{
    $index = fopen('php://temp/maxmemory:2097152', 'w+');
    fwrite($index, '[');
    return $index;
}

function writeEntry($index, array $entry): void
{
    fwrite($index, (ftell($index) > 1 ? ',' : '') . json_encode($entry, JSON_FLAGS));
}

// Logged once per request (leaveOut(null) at the end): how many entries an index left out, and the
// first few of them.
function leaveOut(?string $path): void
{
    static $count = 0, $sample = [];
    if ($path !== null) {
        ++$count < 20 && $sample[] = $path;
    } elseif ($count > 0) {
        error_log("lumipost: left out $count entries (names a Windows kiosk cannot create or fetch, case twins, "
                  . 'unreadable files): ' . json_encode($sample, JSON_UNESCAPED_SLASHES | JSON_INVALID_UTF8_SUBSTITUTE));
    }
}

function sendIndex($index, string $route, string $device = ''): never
{
    leaveOut(null);
    fwrite($index, ']');
    $length = ftell($index);
    foreach (indexSignatureHeaders($index, $route, $device) as $header) {
        header($header);
    }
    header('Content-Type: application/json');
    header('Content-Length: ' . $length);
    rewind($index);
    fpassthru($index);
    exit;
}

// Names Windows would take for one another (it ignores case): all of them are left out. A coarse key
// groups candidates (ASCII lowered; any other character, and k and s, which have non-ASCII case
// partners, as one placeholder); PCRE's caseless Unicode matching then decides within a group.
function caseTwins(array $names): array
{
    $first = $clashes = $twins = [];
    foreach ($names as $name) {
        $key = preg_replace('/[^\x00-\x7f]|[ks]/u', "\0", strtolower($name)) ?? $name;
        if (isset($first[$key])) {
            $clashes[$key][] = $name;
        } else {
            $first[$key] = $name;
        }
    }
    foreach ($clashes as $key => $group) {
        $group[] = $first[$key];
        foreach ($group as $i => $a) {
            foreach (array_slice($group, $i + 1) as $b) {
                if (preg_match('/^' . preg_quote($a, '/') . '$/iu', $b)) {
                    $twins[$a] = $twins[$b] = true;
                }
            }
        }
    }
    return $twins;
}

// Yields name => is-folder for what a folder may list: served names, not twins, no symlinks, only
// readable files. A folder that cannot be read fails the whole index.
function listedEntries(string $folder, string $relative): Generator
{
    $names = is_readable($folder) && is_executable($folder) ? scandir($folder) : false;
    if ($names === false) {
        throw new RuntimeException("cannot read $folder");
    }
    $twins = caseTwins($names);
    foreach ($names as $name) {
        $path = "$folder/$name";
        if ($name[0] === '.' || is_link($path)) {
            continue;
        }
        if (!isServedName($name) || isset($twins[$name]) || (is_file($path) && !is_readable($path))) {
            leaveOut("$relative$name");
        } elseif (is_dir($path) || is_file($path)) {
            yield $name => is_dir($path);
        }
    }
}

// Folders come before their contents; $prefix is "" or ends with "/".
function writeApplicationEntries($index, string $root, string $prefix = ''): void
{
    $hashes = new FolderHashes("$root/$prefix");
    foreach (listedEntries("$root/$prefix", $prefix) as $name => $isDir) {
        $relative = "$prefix$name";
        writeEntry($index, ['relativePath' => $relative, 'size' => $isDir ? 0 : filesize("$root/$relative"),
                            'isDir' => $isDir] + ($isDir ? [] : $hashes->of($name)));
        if ($isDir) {
            writeApplicationEntries($index, $root, "$relative/");
        }
    }
    $hashes->dropUnlisted();
}

function writeVideoEntries($index, string $folder, string $type): void
{
    $hashes = new FolderHashes($folder);
    foreach (listedEntries($folder, "$type/") as $name => $isDir) {
        if (!$isDir) {
            writeEntry($index, ['type' => $type, 'filename' => $name, 'size' => filesize("$folder/$name")]
                               + $hashes->of($name));
        }
    }
    $hashes->dropUnlisted();
}

// A tree folder may be a symlink (an atomic switch of releases), resolved once per request so one
// index never mixes two trees. A missing tree means a wrong data folder, not an empty one: an empty
// index would wipe the kiosks.
function treeFolder(string $relative, bool $required = true): ?string
{
    $folder = realpath(dataRoot() . "/$relative");
    if ($folder === false || !is_dir($folder)) {
        $required && respond(500, ['error' => 'data folder is not set up']);
        return null;
    }
    return $folder;
}

function listApps(): never
{
    $root = treeFolder('Lumipost/Application');
    $index = openIndex();
    writeApplicationEntries($index, $root);
    HashQueue::save();
    sendIndex($index, 'list_apps');
}

function listVideos(): never
{
    $public = treeFolder('Lumipost/ADS/Public');
    $index = openIndex();
    writeVideoEntries($index, $public, 'public');
    $device = $_GET['device_uuid'] ?? '';
    if (is_string($device) && isServedName($device)
        && ($private = treeFolder("Lumipost/ADS/Private/$device", false)) !== null) {
        writeVideoEntries($index, $private, 'private');
    }
    HashQueue::save();
    // Signed for the device as asked, so that no other kiosk takes it for its own.
    sendIndex($index, 'list_videos', is_string($device) ? $device : '');
}

// ---- Upload --------------------------------------------------------------------------------

function requestLength(): int
{
    return (int) ($_SERVER['CONTENT_LENGTH'] ?? 0);
}

// PHP drops parts past max_file_uploads or max_input_vars with no more than a warning: what arrived
// must account for the request's length, less each part's framing (boundary line and headers).
function formArrivedWhole(): bool
{
    preg_match('/boundary="?([^";,]+)/i', $_SERVER['CONTENT_TYPE'] ?? '', $boundary);
    $arrived = $framing = 0;
    $count = function ($bytes, int $nameBytes) use (&$arrived, &$framing, $boundary) {
        $arrived += $bytes;
        $framing += strlen($boundary[1] ?? '') + 256 + 3 * $nameBytes;
    };
    array_walk_recursive($_POST, fn($value) => $count(strlen($value), 0));
    foreach ($_FILES as $file) {
        $sizes = (array) $file['size'];
        $nameBytes = is_string($file['name']) ? strlen($file['name']) : 255;
        array_walk_recursive($sizes, fn($size) => $count($size, $nameBytes));
    }
    return $arrived <= requestLength() && requestLength() - $arrived <= $framing + 256;
}

// The photo that arrived whole, or a refusal: never a 2xx for a photo PHP did not hand over in full.
function receivedPhoto(): array
{
    $limit = ini_parse_quantity(ini_get('post_max_size'));
    if ($limit > 0 && requestLength() > $limit) {
        // PHP dropped the whole form.
        respond(413, ['error' => "the request is larger than post_max_size ($limit bytes)"]);
    }
    $photo = $_FILES['photo'] ?? null;
    if (!is_int($photo['error'] ?? null)) {
        respond(400, ['error' => 'device_uuid, relative_path and photo are required']);
    }
    $status = match ($photo['error']) {
        UPLOAD_ERR_OK => 0,
        UPLOAD_ERR_INI_SIZE, UPLOAD_ERR_FORM_SIZE => 413,
        UPLOAD_ERR_PARTIAL, UPLOAD_ERR_NO_FILE => 400,
        default => 500,
    };
    if ($status !== 0) {
        respond($status, ['error' => "PHP upload error {$photo['error']}"]);
    }
    if (!formArrivedWhole() || !is_uploaded_file($photo['tmp_name']) || filesize($photo['tmp_name']) !== $photo['size']) {
        respond(400, ['error' => 'the form did not arrive whole']);
    }
    return $photo;
}

// Opens the folders below uploads/ one by one, creating what is missing, and never through a symlink.
// uploads/ itself must exist: a wrong or unmounted data folder answers 500 and gets nothing.
// PHP has no openat() or O_NOFOLLOW, so each step is checked and the result checked again with
// realpath(): only a local user who can write into uploads/ could race it.
function uploadFolder(string $uploads, array $segments): string
{
    $folder = $uploads;
    foreach ($segments as $segment) {
        $parent = $folder;
        $folder .= "/$segment";
        if (is_link($folder)) {
            throw new RuntimeException("$folder is a symlink");
        }
        if (!is_dir($folder)) {
            if (!@mkdir($folder, 0775) && !is_dir($folder)) {
                throw new RuntimeException("cannot create $folder");
            }
            flushToDisk($parent);
        }
    }
    if (realpath($folder) !== $folder) {
        throw new RuntimeException("$folder is reached through a symlink");
    }
    return $folder;
}

// fsync() takes a file, and on Linux a folder opened for reading too, so a new name is made durable
// by flushing its folder.
function flushToDisk(string $path): void
{
    $handle = fopen($path, 'r');
    if ($handle === false || !fsync($handle)) {
        throw new RuntimeException("cannot flush $path to disk");
    }
    fclose($handle);
}

// A temporary file left by a request that died (time limit, memory, a killed worker).
function removeStaleTemps(string $folder): void
{
    foreach (glob("$folder/.upload-*", GLOB_NOSORT) ?: [] as $temp) {
        if (!is_link($temp) && is_file($temp) && filemtime($temp) < time() - STALE_TEMP_SECONDS) {
            @unlink($temp);
        }
    }
}

// Byte for byte, stopping at the first difference: a clash with other photos costs one block each.
function haveSameContent(string $a, string $b): bool
{
    $x = filesize($a) === filesize($b) ? fopen($a, 'r') : false;
    $y = $x ? @fopen($b, 'r') : false;
    $same = $y !== false;
    while ($same && !feof($x)) {
        $same = fread($x, 65536) === fread($y, 65536);
    }
    $x && fclose($x);
    $y && fclose($y);
    return $same;
}

// name.jpg, then name-1.jpg, name-2.jpg, ... name-9999.jpg; past that the upload answers 500.
function candidateNames(string $name): Generator
{
    yield $name;
    $dot = strrpos($name, '.');
    $stem = $dot > 0 ? substr($name, 0, $dot) : $name;
    $extension = $dot > 0 ? substr($name, $dot) : '';
    for ($suffix = 1; $suffix <= MAX_SUFFIX; ++$suffix) {
        yield "$stem-$suffix$extension";
    }
}

// Moves $temp to the first free candidate name unless a candidate already holds the same bytes
// (a repeated upload). Returns the name that holds the photo and whether it was stored now.
function storeOnce(string $temp, string $folder, string $name, string $deviceFolder): array
{
    // Other php-fpm workers may pick the same free name at the same moment: each device's folder is
    // its own lock (flock() on the folder itself, so nothing is added to it).
    $lock = fopen($deviceFolder, 'r');
    if ($lock === false || !flock($lock, LOCK_EX)) {
        throw new RuntimeException("cannot lock $deviceFolder");
    }
    try {
        foreach (candidateNames($name) as $candidate) {
            $target = "$folder/$candidate";
            if (!file_exists($target) && !is_link($target)) {
                if (!rename($temp, $target)) {
                    throw new RuntimeException("cannot rename into $target");
                }
                flushToDisk($folder);
                return [$candidate, true];
            }
            if (!is_link($target) && is_file($target) && haveSameContent($temp, $target)) {
                unlink($temp);
                return [$candidate, false];
            }
        }
        throw new RuntimeException("no free name for $folder/$name");
    } finally {
        fclose($lock);
    }
}

function isValidUploadName(string $name, int $maxBytes): bool
{
    return isSafeName($name) && preg_match('//u', $name) && strlen($name) <= $maxBytes;
}

function handleUpload(): never
{
    $photo = receivedPhoto();
    $device = $_POST['device_uuid'] ?? null;
    $relativePath = $_POST['relative_path'] ?? null;
    if (!is_string($device) || !is_string($relativePath)) {
        respond(400, ['error' => 'device_uuid, relative_path and photo are required']);
    }
    // Refused before anything is stored: a name that could not be stored, suffixed or answered in JSON
    // (a name of at most 255 bytes on disk, a path well within Linux's 4,096).
    $segments = explode('/', str_replace('\\', '/', $relativePath));
    $name = array_pop($segments);
    if (!allMatch([$device, ...$segments], fn($s) => isValidUploadName($s, 255))
        || !isValidUploadName($name, MAX_NAME_BYTES) || strlen(dataRoot() . "/uploads/$device/$relativePath") > 3800) {
        respond(400, ['error' => 'device_uuid or relative_path is unsafe, not UTF-8 or too long']);
    }
    $uploads = treeFolder('uploads');
    $folder = uploadFolder($uploads, [$device, ...$segments]);
    removeStaleTemps($folder);
    $temp = "$folder/.upload-" . bin2hex(random_bytes(8));
    // Runs after a fatal error too (time limit, memory): nothing is left behind.
    register_shutdown_function(fn() => is_file($temp) && @unlink($temp));
    if (!move_uploaded_file($photo['tmp_name'], $temp)) {
        respond(500, ['error' => 'cannot write the photo']);
    }
    flushToDisk($temp);
    // The receipt: the agent deletes its photo only if this matches the bytes it sent. Taken once
    // here, as the name that ends up holding the photo has these bytes too.
    $sha256 = hash_file('sha256', $temp) ?: throw new RuntimeException("cannot read $temp");
    [$storedName, $isNew] = storeOnce($temp, $folder, $name, "$uploads/$device");
    $stored = implode('/', [$device, ...$segments, $storedName]);
    respond($isNew ? 201 : 200, ['stored' => $stored, 'new' => $isNew, 'sha256' => $sha256],
            ["X-Content-SHA256: $sha256"]);
}

set_exception_handler(function (Throwable $e): never {
    error_log('lumipost sync_api: ' . $e->getMessage());
    respond(500, ['error' => 'internal error']);
});

$routes = [
    'list_apps' => ['GET', 'listApps'],
    'list_videos' => ['GET', 'listVideos'],
    'upload' => ['POST', 'handleUpload'],
];
$action = $_GET['action'] ?? '';
if (!is_string($action) || !isset($routes[$action])) {
    respond(400, ['error' => 'unknown action']);
}
[$method, $handler] = $routes[$action];
if ($_SERVER['REQUEST_METHOD'] !== $method) {
    respond(405, ['error' => "$action needs $method"], ["Allow: $method"]);
}
watchKioskRequest($action);
$handler();
