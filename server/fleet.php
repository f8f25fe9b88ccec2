<?php
// The fleet page for the operator: /fleet/ (HTML; ?device=NAME for one kiosk's last events) and
// /fleet.json (the same data for scripts), both closed unless a token is configured. Under nginx this
// script also counts private video fetches: the site mirrors those requests here.
declare(strict_types=1);
require_once __DIR__ . '/fleet_store.php';

const LOGIN_COOKIE = 'lumipost_fleet';
const SORTS = ['kiosk' => 'device', 'contact' => 'last_contact', 'index' => 'index_at', 'fetched' => 'fetches_total',
               'today' => 'photos_today', 'photos' => 'photos', 'last_photo' => 'last_photo_at', 'refused' => 'refused'];
const TEXT_COLUMNS = ['device', 'last_address', 'photo_day', 'last_refusal'];
const PAGE_STYLE = <<<'CSS'
    body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #1d2330; }
    table { border-collapse: collapse; width: 100%; }
    th, td { text-align: left; padding: .35em .6em; border-bottom: 1px solid #d8dce4; vertical-align: top; }
    th a { color: inherit; } td.n, th.n { text-align: right; }
    tr.silent { background: #fde8e8; } .mark { color: #fff; background: #b42318; padding: 0 .4em; border-radius: 3px; }
    .summary { font-size: 1.15em; } .note, .muted { color: #5d6677; } form { margin: .8em 0; }
    CSS;

function h(string|int|null $text): string
{
    return htmlspecialchars((string) $text, ENT_QUOTES | ENT_SUBSTITUTE | ENT_HTML5, 'UTF-8');
}

function finish(int $status, string $type, string $body, array $headers = []): never
{
    http_response_code($status);
    foreach (["Content-Type: $type", 'Cache-Control: no-store', 'X-Content-Type-Options: nosniff',
              'Referrer-Policy: no-referrer', ...$headers] as $header) {
        header($header);
    }
    echo $body;
    exit;
}

// ---- Access ----------------------------------------------------------------------------------

function loginValue(string $token): string
{
    // The cookie proves the login without holding the token; a new token ends every login.
    return hash_hmac('sha256', 'lumipost fleet login', $token);
}

function isAuthorised(string $token): bool
{
    $cookie = $_COOKIE[LOGIN_COOKIE] ?? null;
    return preg_match('/^Bearer +(\S+)$/i', $_SERVER['HTTP_AUTHORIZATION'] ?? '', $bearer) && hash_equals($token, $bearer[1])
        || is_string($cookie) && hash_equals(loginValue($token), $cookie);
}

function setLoginCookie(string $value, int $expires): void
{
    setcookie(LOGIN_COOKIE, $value, ['expires' => $expires, 'path' => '/', 'httponly' => true,
                                     'samesite' => 'Strict', 'secure' => ($_SERVER['HTTPS'] ?? '') === 'on']);
}

function handleLoginForm(string $token): never
{
    if (isset($_POST['logout'])) {
        setLoginCookie('', 1);
        finish(303, 'text/plain', '', ['Location: /fleet/']);
    }
    $given = $_POST['token'] ?? null;
    if (!is_string($given) || !hash_equals($token, $given)) {
        usleep(500000); // a guess costs time
        loginPage('That is not the token configured on the server.');
    }
    setLoginCookie(loginValue($token), 0);
    finish(303, 'text/plain', '', ['Location: /fleet/']);
}

function loginPage(string $message = ''): never
{
    $body = '<form method="post" action="/fleet/"><label>Token <input type="password" name="token" '
          . 'autocomplete="current-password" autofocus required></label> <button>Log in</button></form>'
          . ($message === '' ? '' : '<p class="mark">' . h($message) . '</p>');
    page(401, 'Log in', $body, ['WWW-Authenticate: Bearer realm="fleet"']);
}

// ---- The fleet as shown --------------------------------------------------------------------

function silentAfterMinutes(): int
{
    return max(1, (int) (setting('LUMIPOST_FLEET_SILENT_MINUTES') ?? 60));
}

// The rows with what is derived from the clock, those whose name holds $query (and only the silent
// ones if asked), in the order asked for: by default the silent kiosks first, the longest silent at
// the top, then the others by name.
function fleetRows(int $now, string $query = '', bool $onlySilent = false): array
{
    $rows = [];
    foreach (fleetKiosks() as $k) {
        foreach ($k as $column => $value) {
            $k[$column] = $value === null || in_array($column, TEXT_COLUMNS, true) ? $value : (int) $value;
        }
        $k['silent'] = $now - $k['last_contact'] > 60 * silentAfterMinutes();
        $k['photos_today'] = $k['photo_day'] === date('Y-m-d', $now) ? $k['photos_today'] : 0;
        if ((!$onlySilent || $k['silent']) && ($query === '' || stripos($k['device'], $query) !== false)) {
            $rows[] = $k;
        }
    }
    $sort = $_GET['sort'] ?? '';
    $key = is_string($sort) ? SORTS[$sort] ?? null : null;
    $order = $key === null ? fn($k) => [!$k['silent'], $k['silent'] ? $k['last_contact'] : 0, $k['device']]
                           : fn($k) => [$k[$key], $k['device']];
    $direction = ($_GET['dir'] ?? '') === 'desc' ? -1 : 1;
    usort($rows, fn($a, $b) => $direction * ($order($a) <=> $order($b)));
    return $rows;
}

function summary(array $rows, int $now): array
{
    return ['kiosks' => count($rows),
            'alive_last_hour' => count(array_filter($rows, fn($k) => $now - $k['last_contact'] <= 3600)),
            'silent' => count(array_filter($rows, fn($k) => $k['silent']))];
}

function kioskJson(array $k): array
{
    return ['device' => $k['device'], 'silent' => $k['silent'], 'first_contact' => $k['first_contact'],
            'last_contact' => $k['last_contact'], 'last_address' => $k['last_address'],
            'video_index' => $k['index_at'] === null ? null
                : ['at' => $k['index_at'], 'videos' => $k['index_videos'], 'bytes' => $k['index_bytes']],
            'private_videos_fetched' => ['since_index' => $k['fetches_total'] - $k['fetches_at_index'],
                                         'total' => $k['fetches_total']],
            'photos' => ['today' => $k['photos_today'], 'total' => $k['photos'], 'bytes' => $k['photo_bytes'],
                         'last_at' => $k['last_photo_at'], 'refused' => $k['refused'],
                         'last_refusal' => $k['last_refusal'], 'last_refusal_at' => $k['last_refusal_at']]];
}

function fleetJson(array $rows, int $now): never
{
    $kiosks = array_map('kioskJson', $rows);
    if (is_string($_GET['device'] ?? null) && count($rows) === 1) {
        $kiosks[0]['events'] = kioskEvents($rows[0]['device']);
    }
    $body = ['now' => $now, 'silent_after_minutes' => silentAfterMinutes(), 'summary' => summary($rows, $now),
             'kiosks' => $kiosks];
    finish(200, 'application/json', json_encode($body, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE));
}

// ---- HTML ----------------------------------------------------------------------------------

function page(int $status, string $title, string $body, array $headers = []): never
{
    $nonce = base64_encode(random_bytes(12));
    $html = '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><meta name="viewport" '
          . 'content="width=device-width, initial-scale=1"><title>' . h($title) . ' – Lumipost fleet</title>'
          . "<style nonce=\"$nonce\">" . PAGE_STYLE . '</style></head><body><h1>' . h($title) . "</h1>$body</body></html>";
    // Device names and paths come from the kiosks: no script may run, whatever slipped through.
    $policy = "default-src 'none'; style-src 'nonce-$nonce'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
    finish($status, 'text/html; charset=utf-8', $html, ["Content-Security-Policy: $policy", ...$headers]);
}

function ago(?int $time, int $now): string
{
    if ($time === null) {
        return '<span class="muted">never</span>';
    }
    $seconds = max(0, $now - $time);
    $text = match (true) {
        $seconds < 60 => 'just now',
        $seconds < 3600 => intdiv($seconds, 60) . ' min ago',
        $seconds < 172800 => intdiv($seconds, 3600) . ' h ago',
        default => intdiv($seconds, 86400) . ' days ago',
    };
    return '<time datetime="' . gmdate('Y-m-d\TH:i:s\Z', $time) . '" title="' . h(date('Y-m-d H:i:s T', $time)) . "\">$text</time>";
}

function sortLink(string $label, string $sort, bool $numeric): string
{
    $active = ($_GET['sort'] ?? '') === $sort;
    $descending = ($_GET['dir'] ?? '') === 'desc';
    $query = array_filter(['q' => $_GET['q'] ?? null, 'silent' => $_GET['silent'] ?? null, 'sort' => $sort,
                           'dir' => $active && !$descending ? 'desc' : 'asc'], 'is_string');
    $arrow = $active ? ($descending ? ' ▼' : ' ▲') : '';
    return '<th' . ($numeric ? ' class="n"' : '') . '><a href="?' . h(http_build_query($query)) . "\">$label$arrow</a></th>";
}

function kioskRow(array $k, int $now): string
{
    $index = $k['index_at'] === null ? ago(null, $now)
           : ago($k['index_at'], $now) . '<br>' . h($k['index_videos']) . ' videos, ' . h(humanBytes($k['index_bytes']));
    $refusal = $k['refused'] === 0 ? '0'
             : h($k['refused']) . '<br><span class="muted">' . h($k['last_refusal']) . ', ' . ago($k['last_refusal_at'], $now) . '</span>';
    $cells = ['<a href="?device=' . h(rawurlencode($k['device'])) . '">' . h($k['device']) . '</a>'
              . ($k['silent'] ? ' <strong class="mark">silent</strong>' : ''),
              ago($k['last_contact'], $now) . '<br><span class="muted">' . h($k['last_address']) . '</span>',
              $index, h($k['fetches_total'] - $k['fetches_at_index']) . ' since the index, ' . h($k['fetches_total']) . ' in all',
              h($k['photos_today']), h($k['photos']) . '<br><span class="muted">' . h(humanBytes($k['photo_bytes'])) . '</span>',
              ago($k['last_photo_at'], $now), $refusal];
    $numeric = [false, false, false, false, true, true, false, false];
    $html = '';
    foreach ($cells as $i => $cell) {
        $html .= ($numeric[$i] ? '<td class="n">' : '<td>') . $cell . '</td>';
    }
    return '<tr' . ($k['silent'] ? ' class="silent"' : '') . ">$html</tr>";
}

function kioskTable(array $rows, int $now): string
{
    $head = sortLink('Kiosk', 'kiosk', false) . sortLink('Last contact', 'contact', false)
          . sortLink('Video index', 'index', false) . sortLink('Private videos fetched', 'fetched', false)
          . sortLink('Photos today', 'today', true) . sortLink('Photos in all', 'photos', true)
          . sortLink('Last photo', 'last_photo', false) . sortLink('Photos refused', 'refused', false);
    return "<table><thead><tr>$head</tr></thead><tbody>"
         . implode('', array_map(fn($k) => kioskRow($k, $now), $rows)) . '</tbody></table>';
}

function fleetPage(array $rows, int $now): never
{
    $s = summary($rows, $now);
    $filter = '<form method="get" action="/fleet/"><input type="search" name="q" placeholder="Kiosk name" value="'
            . h(is_string($_GET['q'] ?? null) ? $_GET['q'] : '') . '"> <label><input type="checkbox" name="silent" value="1"'
            . (isset($_GET['silent']) ? ' checked' : '') . '> only silent</label> <button>Filter</button></form>';
    $body = "<p class=\"summary\">{$s['kiosks']} kiosk" . ($s['kiosks'] === 1 ? '' : 's') . " · {$s['alive_last_hour']} alive in the last hour · "
          . "<strong>{$s['silent']} silent</strong> (no contact for more than " . silentAfterMinutes() . ' min)</p>'
          . $filter . kioskTable($rows, $now) . '<p class="note">Video fetches: only private videos name their kiosk '
          . 'in the request, so public video fetches cannot be attributed to a kiosk and are not counted. '
          . 'Times are the server\'s (' . h(date('T', $now)) . '); hover over one for the exact time.</p>'
          . '<form method="post" action="/fleet/"><button name="logout" value="1">Log out</button></form>';
    page(200, 'Kiosks', $body);
}

function kioskPage(array $k, int $now): never
{
    $events = '';
    foreach (kioskEvents($k['device']) as $event) {
        $events .= '<tr><td>' . ago((int) $event['occurred_at'], $now) . '</td><td>' . h($event['kind'])
                 . '</td><td>' . h($event['detail']) . '</td></tr>';
    }
    $body = '<p><a href="/fleet/">All kiosks</a> · first contact ' . ago($k['first_contact'], $now) . '</p>'
          . kioskTable([$k], $now) . '<h2>Last ' . EVENTS_KEPT . ' events</h2>'
          . "<table><thead><tr><th>When</th><th>Event</th><th>Detail</th></tr></thead><tbody>$events</tbody></table>";
    page(200, $k['device'], $body);
}

// ---- Routes --------------------------------------------------------------------------------

set_exception_handler(function (Throwable $e): never {
    error_log('lumipost fleet: ' . $e->getMessage());
    finish(500, 'text/plain', "The fleet page failed; the server's log says why.\n");
});

$path = rawurldecode(explode('?', $_SERVER['REQUEST_URI'] ?? '', 2)[0]);
if (str_starts_with($path, '/Lumipost/ADS/Private/')) {
    // nginx's mirror of a kiosk's request; nginx discards this answer.
    watchVideoFetch($path);
    finish(204, 'text/plain', '');
}
$token = setting('LUMIPOST_FLEET_TOKEN')
    ?? finish(403, 'text/plain', "The fleet page is closed: no token is configured on the server (LUMIPOST_FLEET_TOKEN).\n");
$isJson = $path === '/fleet.json';
if (!$isJson && $_SERVER['REQUEST_METHOD'] === 'POST') {
    handleLoginForm($token);
}
if (!isAuthorised($token)) {
    $isJson ? finish(401, 'application/json', '{"error":"a token is needed"}', ['WWW-Authenticate: Bearer realm="fleet"'])
            : loginPage();
}
$now = fleetNow();
$device = $_GET['device'] ?? null;
if (is_string($device)) {
    $rows = array_values(array_filter(fleetRows($now), fn($k) => $k['device'] === $device));
    $rows || finish(404, 'text/plain', "No kiosk has that name.\n");
} else {
    $query = $_GET['q'] ?? '';
    $rows = fleetRows($now, is_string($query) ? $query : '', isset($_GET['silent']));
}
$isJson ? fleetJson($rows, $now) : ($device === null ? fleetPage($rows, $now) : kioskPage($rows[0], $now));
