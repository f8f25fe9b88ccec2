<?php
// Sync API of the Lumipost kiosks: ?action=list_apps, list_videos (GET) and upload (POST).
declare(strict_types=1);
require_once __DIR__ . '/common.php';

const JSON_FLAGS = JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE | JSON_THROW_ON_ERROR;
const MAX_SUFFIX = 9999;

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

// Agents put names into URLs unescaped and write them under the same name on Windows, so a name
// they could not fetch back or decode would hold their download queue forever: leave it out.
function isListedName(string $name): bool
{
    return isSafeName($name) && preg_match('//u', $name) && strpbrk($name, '#?%') === false;
}

function readFolder(string $folder): array
{
    $names = scandir($folder);
    if ($names === false) {
        // A partial index would make every kiosk delete what it could not see.
        throw new RuntimeException("cannot read $folder");
    }
    return $names;
}

function collectApplicationEntries(string $root, string $prefix, array &$entries): void
{
    foreach (readFolder($prefix === '' ? $root : "$root/$prefix") as $name) {
        $relative = $prefix === '' ? $name : "$prefix/$name";
        $path = "$root/$relative";
        if (!isListedName($name) || is_link($path)) {
            continue;
        }
        if (is_dir($path)) {
            $entries[] = ['relativePath' => $relative, 'size' => 0, 'isDir' => true];
            collectApplicationEntries($root, $relative, $entries);
        } elseif (is_file($path)) {
            $entries[] = ['relativePath' => $relative, 'size' => filesize($path), 'isDir' => false];
        }
    }
}

function videoEntries(string $folder, string $type): array
{
    $entries = [];
    foreach (readFolder($folder) as $name) {
        $path = "$folder/$name";
        if (isListedName($name) && !is_link($path) && is_file($path)) {
            $entries[] = ['type' => $type, 'filename' => $name, 'size' => filesize($path)];
        }
    }
    return $entries;
}

// A missing tree means a wrong data folder, not an empty one: an empty index would wipe the kiosks.
function requireFolder(string $folder): void
{
    if (!is_dir($folder)) {
        respond(500, ['error' => 'data folder is not set up']);
    }
}

function listApps(): never
{
    $root = dataRoot() . '/Lumipost/Application';
    requireFolder($root);
    $entries = [];
    collectApplicationEntries($root, '', $entries);
    respond(200, $entries);
}

function listVideos(): never
{
    $ads = dataRoot() . '/Lumipost/ADS';
    requireFolder("$ads/Public");
    $entries = videoEntries("$ads/Public", 'public');
    $device = $_GET['device_uuid'] ?? '';
    if (is_string($device) && isSafeName($device) && is_dir("$ads/Private/$device")) {
        array_push($entries, ...videoEntries("$ads/Private/$device", 'private'));
    }
    respond(200, $entries);
}

function uploadErrorStatus(int $error): int
{
    $clientErrors = [UPLOAD_ERR_INI_SIZE, UPLOAD_ERR_FORM_SIZE, UPLOAD_ERR_PARTIAL, UPLOAD_ERR_NO_FILE];
    return in_array($error, $clientErrors, true) ? 400 : 500;
}

// name.jpg, then name-1.jpg, name-2.jpg, ...
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

function haveSameContent(string $a, string $b): bool
{
    if (filesize($a) !== filesize($b)) {
        return false;
    }
    $hash = hash_file('sha256', $a);
    return $hash !== false && $hash === hash_file('sha256', $b);
}

// The agent deletes its photo on 2xx, so the bytes must be on disk before we answer.
function flushToDisk(string $path): bool
{
    $handle = fopen($path, 'r+');
    if ($handle === false) {
        return false;
    }
    $flushed = fsync($handle);
    fclose($handle);
    return $flushed;
}

// Moves $temp to the first free candidate name unless a candidate already holds the same bytes
// (a repeated upload). Returns the name that holds the photo and whether it was stored now.
function storeOnce(string $temp, string $folder, string $name, string $lockPath): array
{
    // Other php-fpm workers may pick the same free name at the same moment.
    $lock = fopen($lockPath, 'c');
    if ($lock === false || !flock($lock, LOCK_EX)) {
        throw new RuntimeException("cannot lock $lockPath");
    }
    try {
        foreach (candidateNames($name) as $candidate) {
            $target = "$folder/$candidate";
            if (!file_exists($target) && !is_link($target)) {
                if (!rename($temp, $target)) {
                    throw new RuntimeException("cannot rename into $target");
                }
                return [$candidate, true];
            }
            if (is_file($target) && haveSameContent($temp, $target)) {
                unlink($temp);
                return [$candidate, false];
            }
        }
        throw new RuntimeException("no free name for $folder/$name");
    } finally {
        fclose($lock);
    }
}

function handleUpload(): never
{
    $device = $_POST['device_uuid'] ?? null;
    $relativePath = $_POST['relative_path'] ?? null;
    $photo = $_FILES['photo'] ?? null;
    // Over post_max_size PHP drops the whole form, which also ends here.
    if (!is_string($device) || !is_string($relativePath) || !is_int($photo['error'] ?? null)) {
        respond(400, ['error' => 'device_uuid, relative_path and photo are required']);
    }
    if ($photo['error'] !== UPLOAD_ERR_OK) {
        respond(uploadErrorStatus($photo['error']), ['error' => "upload error {$photo['error']}"]);
    }
    $segments = explode('/', str_replace('\\', '/', $relativePath));
    if (!isSafeName($device) || !areSafeNames($segments)) {
        respond(400, ['error' => 'unsafe device_uuid or relative_path']);
    }
    $name = array_pop($segments);
    $uploads = dataRoot() . '/uploads';
    $folder = implode('/', [$uploads, $device, ...$segments]);
    if (!is_dir($folder) && !@mkdir($folder, 0775, true) && !is_dir($folder)) {
        respond(500, ['error' => 'cannot create the target folder']);
    }
    $temp = "$folder/.upload-" . bin2hex(random_bytes(8));
    if (!move_uploaded_file($photo['tmp_name'], $temp) || !flushToDisk($temp)) {
        @unlink($temp);
        respond(500, ['error' => 'cannot write the photo']);
    }
    try {
        [$storedName, $isNew] = storeOnce($temp, $folder, $name, "$uploads/.lock");
    } catch (RuntimeException $e) {
        @unlink($temp);
        throw $e;
    }
    $stored = implode('/', [$device, ...$segments, $storedName]);
    respond($isNew ? 201 : 200, ['stored' => $stored, 'new' => $isNew]);
}

set_exception_handler(function (Throwable $e): never {
    error_log('sync_api: ' . $e->getMessage());
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
$handler();
