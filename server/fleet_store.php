<?php
// What the kiosks' own requests tell about them, kept in the state database for the fleet page:
// one row per kiosk with its counters, and its last events in a ring of EVENTS_KEPT slots.
// Recording happens once the kiosk has its answer and never changes that answer: any failure is
// logged and dropped.
declare(strict_types=1);
require_once __DIR__ . '/state.php';

const EVENTS_KEPT = 50;
// Anyone who reaches the server can name a kiosk: a client address makes at most this many new rows an
// hour (LUMIPOST_FLEET_NEW_PER_HOUR), and a name seen once ages out after this many days of silence.
const NEW_KIOSKS_PER_HOUR = 1000;
const ONE_TIME_NAMES_KEPT_DAYS = 30;

const FLEET_TABLES = [
    'CREATE TABLE IF NOT EXISTS fleet_kiosks (
        device TEXT PRIMARY KEY, first_contact BIGINT NOT NULL, last_contact BIGINT NOT NULL,
        last_address TEXT, event_count BIGINT NOT NULL DEFAULT 0,
        index_at BIGINT, index_videos BIGINT, index_bytes BIGINT,
        fetches_at_index BIGINT NOT NULL DEFAULT 0, fetches_total BIGINT NOT NULL DEFAULT 0,
        photos BIGINT NOT NULL DEFAULT 0, photo_bytes BIGINT NOT NULL DEFAULT 0, last_photo_at BIGINT,
        photo_day TEXT, photos_today BIGINT NOT NULL DEFAULT 0,
        refused BIGINT NOT NULL DEFAULT 0, last_refusal TEXT, last_refusal_at BIGINT)',
    'CREATE TABLE IF NOT EXISTS fleet_events (
        device TEXT NOT NULL, slot INTEGER NOT NULL, seq BIGINT NOT NULL, occurred_at BIGINT NOT NULL,
        kind TEXT NOT NULL, detail TEXT NOT NULL, PRIMARY KEY (device, slot))',
    'CREATE INDEX IF NOT EXISTS fleet_kiosks_contact ON fleet_kiosks (last_contact)',
    'CREATE INDEX IF NOT EXISTS fleet_kiosks_address ON fleet_kiosks (last_address, first_contact)',
    // Raised by a logout: every login cookie signed with an older generation is void.
    'CREATE TABLE IF NOT EXISTS fleet_login (id INTEGER PRIMARY KEY, generation BIGINT NOT NULL)',
];

// How a request's values merge into a kiosk's existing row; any other column takes the new value.
// A new kiosk's row starts from the request's values, so counters insert their increment.
const KIOSK_MERGE = [
    'event_count' => 'fleet_kiosks.event_count + 1',
    'fetches_total' => 'fleet_kiosks.fetches_total + 1',
    'fetches_at_index' => 'fleet_kiosks.fetches_total',
    'photos' => 'fleet_kiosks.photos + excluded.photos',
    'photo_bytes' => 'fleet_kiosks.photo_bytes + excluded.photo_bytes',
    'photos_today' => 'CASE WHEN fleet_kiosks.photo_day = excluded.photo_day'
                    . ' THEN fleet_kiosks.photos_today + excluded.photos_today ELSE excluded.photos_today END',
    'refused' => 'fleet_kiosks.refused + 1',
];

function fleetNow(): int
{
    return (int) (setting('LUMIPOST_SERVER_NOW') ?? time());
}

function createFleetTables(): void
{
    createTables(FLEET_TABLES);
}

// Under php-fpm the fleet is recorded after the answer is finished, when PHP's log goes to the
// web server no more, and Debian's pool drops what its workers print: such lines go to the data
// folder's .lumipost/server.log unless PHP's error_log names a log of its own.
function logAfterAnswer(string $line): void
{
    $file = dataRoot() . '/.lumipost/server.log';
    $ownLog = function_exists('fastcgi_finish_request') && ini_get('error_log') === '' && (is_dir(dirname($file)) || @mkdir(dirname($file), 0700));
    $ownLog ? error_log(date('[Y-m-d H:i:s T] ') . "$line\n", 3, $file) : error_log($line);
}

// A device name as the upload stores it; anything else is not a kiosk worth a row.
function isKioskName(mixed $device): bool
{
    return is_string($device) && isSafeName($device) && preg_match('//u', $device) && strlen($device) <= 255;
}

// Whether $device has a row, or its client address may make a new one; a new one first ages out
// the names seen once long ago.
function mayRecordKiosk(PDO $db, string $device, ?string $address, int $now): bool
{
    $limit = newKiosksPerHour();
    $check = $db->prepare("SELECT (SELECT COUNT(*) FROM fleet_kiosks WHERE device = ?), (SELECT COUNT(*) FROM (SELECT 1
        FROM fleet_kiosks WHERE last_address = ? AND first_contact > ? LIMIT $limit) AS recent)");
    $check->execute([$device, $address, $now - 3600]);
    [$known, $recent] = array_map('intval', $check->fetch(PDO::FETCH_NUM));
    if ($known === 0 && $recent < $limit) {
        $stale = 'SELECT device FROM fleet_kiosks WHERE event_count = 1 AND last_contact < ?';
        foreach (['fleet_events', 'fleet_kiosks'] as $table) {
            $db->prepare("DELETE FROM $table WHERE device IN ($stale)")->execute([$now - 86400 * ONE_TIME_NAMES_KEPT_DAYS]);
        }
    }
    return $known > 0 || $recent < $limit;
}

function newKiosksPerHour(): int
{
    return max(1, (int) (setting('LUMIPOST_FLEET_NEW_PER_HOUR') ?? NEW_KIOSKS_PER_HOUR));
}

// Three statements per request: whether the kiosk may be recorded, its row (which numbers the event)
// and the event's slot.
function recordKioskEvent(string $device, string $kind, string $detail, array $values): void
{
    $now = fleetNow();
    $address = $_SERVER['REMOTE_ADDR'] ?? null;
    if (!mayRecordKiosk(stateDb(), $device, $address, $now)) {
        throw new RuntimeException("$address named " . newKiosksPerHour() . ' new kiosks within the hour already');
    }
    $row = ['device' => $device, 'first_contact' => $now, 'last_contact' => $now,
            'last_address' => $address, 'event_count' => 1] + $values;
    $columns = array_keys($row);
    $updates = array_map(fn($c) => "$c = " . (KIOSK_MERGE[$c] ?? "excluded.$c"), array_slice($columns, 2));
    $kiosk = stateDb()->prepare('INSERT INTO fleet_kiosks (' . implode(', ', $columns) . ') VALUES (:'
        . implode(', :', $columns) . ') ON CONFLICT (device) DO UPDATE SET ' . implode(', ', $updates)
        . ' RETURNING event_count');
    $kiosk->execute($row);
    $seq = (int) $kiosk->fetchColumn();
    stateDb()->prepare('INSERT INTO fleet_events (device, slot, seq, occurred_at, kind, detail)
        VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (device, slot) DO UPDATE SET seq = excluded.seq,
        occurred_at = excluded.occurred_at, kind = excluded.kind, detail = excluded.detail')
        ->execute([$device, ($seq - 1) % EVENTS_KEPT, $seq, $now, $kind, $detail]);
}

// The tables are created when the first write finds them missing, so a request costs no more.
function recordQuietly(string $device, string $kind, string $detail, array $values): void
{
    try {
        try {
            recordKioskEvent($device, $kind, $detail, $values);
        } catch (PDOException $e) {
            if ($e->getCode() !== '42P01' && !str_contains($e->getMessage(), 'no such table')) {
                throw $e;
            }
            createFleetTables();
            recordKioskEvent($device, $kind, $detail, $values);
        }
    } catch (Throwable $e) {
        logAfterAnswer("lumipost fleet: cannot record '$kind' of a kiosk: " . $e->getMessage());
    }
}

// Runs $record(status, body) once the request has answered: under php-fpm after the kiosk has its
// whole answer, under php -S just before it goes out. The body is the JSON answer, kept back here
// until then.
function afterAnswer(callable $record, bool $keepBody): void
{
    $keepBody && ob_start();
    register_shutdown_function(function () use ($record, $keepBody) {
        $body = $keepBody ? (string) ob_get_contents() : '';
        function_exists('fastcgi_finish_request') && fastcgi_finish_request();
        $record(http_response_code() ?: 200, $body);
    });
}

function humanBytes(int|float $bytes): string
{
    return $bytes >= 1 << 20 ? sprintf('%.1f MB', $bytes / (1 << 20))
         : ($bytes >= 1024 ? sprintf('%.0f KB', $bytes / 1024) : "$bytes bytes");
}

// Called by sync_api.php before it runs an action.
function watchKioskRequest(string $action): void
{
    if ($action === 'list_videos' && isKioskName($device = $_GET['device_uuid'] ?? null)) {
        afterAnswer(fn($status, $body) => recordIndex($device, $status, $body), true);
    } elseif ($action === 'upload' && isKioskName($device = $_POST['device_uuid'] ?? null)) {
        afterAnswer(fn($status, $body) => recordUpload($device, $status, $body), true);
    }
}

// A failed index is contact all the same: a broken data folder must not make the fleet look silent.
function recordIndex(string $device, int $status, string $body): void
{
    if ($status !== 200) {
        recordQuietly($device, 'index failed', "$status " . (json_decode($body, true)['error'] ?? 'error'), []);
        return;
    }
    $sizes = array_column(json_decode($body, true) ?: [], 'size');
    recordQuietly($device, 'index fetched', count($sizes) . ' videos, ' . humanBytes(array_sum($sizes)),
                  ['index_at' => fleetNow(), 'index_videos' => count($sizes), 'index_bytes' => array_sum($sizes),
                   'fetches_at_index' => 0]);
}

// A path as sent may be anything: stored as valid UTF-8 without control characters (PostgreSQL takes
// neither), cut to a line.
function printablePath(mixed $path): string
{
    $text = json_decode(json_encode(is_string($path) ? $path : '', JSON_INVALID_UTF8_SUBSTITUTE));
    return preg_replace(['/[\x00-\x1f\x7f]/', '/^(.{200}).+$/us'], ['?', '$1…'], $text);
}

function recordUpload(string $device, int $status, string $body): void
{
    $path = printablePath($_POST['relative_path'] ?? null);
    if ($status >= 400) {
        $reason = "$status " . (json_decode($body, true)['error'] ?? 'error');
        recordQuietly($device, 'photo refused', "$path: $reason",
                      ['refused' => 1, 'last_refusal' => $reason, 'last_refusal_at' => fleetNow()]);
        return;
    }
    // 200 is a photo sent again after a lost answer: already counted.
    $bytes = (int) ($_FILES['photo']['size'] ?? 0);
    $isNew = $status === 201;
    recordQuietly($device, 'photo stored', $path . ', ' . humanBytes($bytes) . ($isNew ? '' : ' (sent again)'),
                  ['photos' => (int) $isNew, 'photo_bytes' => $isNew ? $bytes : 0, 'last_photo_at' => fleetNow(),
                   'photo_day' => date('Y-m-d', fleetNow()), 'photos_today' => (int) $isNew]);
}

// A request for a private video names its kiosk in the path; public videos name none and cannot be
// counted. Counted when answered with a 2xx (under nginx, a mirror of the request, which cannot see
// nginx's answer, counts what exists to be served).
function watchVideoFetch(string $path): void
{
    if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'GET'
        || !preg_match('#^/Lumipost/ADS/Private/([^/]+)/([^/]+)$#', $path, $m)
        || !isKioskName($m[1]) || !isServedName($m[2])) {
        return;
    }
    $root = realpath(dataRoot() . "/Lumipost/ADS/Private/$m[1]");
    if ($root === false || realpath("$root/$m[2]") !== "$root/$m[2]" || !is_file("$root/$m[2]")) {
        return;
    }
    $range = preg_match('/^bytes=(\d+)-/', $_SERVER['HTTP_RANGE'] ?? '', $r) && $r[1] > 0 ? " from byte $r[1]" : '';
    afterAnswer(fn($status) => $status < 300 && recordQuietly($m[1], 'private video fetched', $m[2] . $range,
                                                              ['fetches_total' => 1]), false);
}

function kioskEvents(string $device): array
{
    $events = stateDb()->prepare('SELECT seq, occurred_at, kind, detail FROM fleet_events WHERE device = ?
                                  ORDER BY seq DESC');
    $events->execute([$device]);
    return array_map(fn($e) => ['seq' => (int) $e['seq'], 'occurred_at' => (int) $e['occurred_at']] + $e,
                     $events->fetchAll(PDO::FETCH_ASSOC));
}
