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

// What a kiosk named, with invisible and direction-changing characters spelt out (\u202e), so that
// no name passes for another or turns the text around it.
function hName(?string $text): string
{
    return h(preg_replace_callback('/[\p{Cc}\p{Cf}\p{Zl}\p{Zp}]|(?! )\p{Zs}/u', fn($m) => trim(json_encode($m[0]), '"'), (string) $text));
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

// A login lasts this long; a logout ends every login (see fleet_login).
const LOGIN_SECONDS = 12 * 3600;
// Wrong tokens (form or Bearer) a client address may send in a minute before it is refused outright.
const LOGIN_FAILURES_PER_MINUTE = 10;

function loginGeneration(): int
{
    return (int) stateDb()->query('SELECT generation FROM fleet_login WHERE id = 1')->fetchColumn();
}

// The cookie proves a login without holding the token: its expiry, a nonce of its own and the
// generation it was made in, signed with the token (so a new token ends every login too).
function loginValue(string $token, int $expires, string $nonce, int $generation): string
{
    return "$expires.$nonce.$generation." . hash_hmac('sha256', "lumipost fleet login $expires $nonce $generation", $token);
}

function hasValidLoginCookie(string $token): bool
{
    $cookie = $_COOKIE[LOGIN_COOKIE] ?? null;
    return is_string($cookie) && preg_match('/^(\d{1,12})\.([0-9a-f]{32})\.(\d{1,18})\.[0-9a-f]{64}$/', $cookie, $m)
        && (int) $m[1] > fleetNow() && (int) $m[3] === loginGeneration()
        && hash_equals(loginValue($token, (int) $m[1], $m[2], (int) $m[3]), $cookie);
}

// Wrong tokens from the client's address within the current minute (one more if $add), in a file that
// every worker shares.
function loginFailures(bool $add = false): int
{
    $handle = fopen(sys_get_temp_dir() . '/lumipost-fleet-logins-' . hash('sha256', dataRoot()) . '.json', 'c+');
    flock($handle, LOCK_EX);
    $minute = intdiv(time(), 60);
    $counts = json_decode((string) stream_get_contents($handle), true);
    $counts = ($counts['minute'] ?? null) === $minute ? $counts : ['minute' => $minute, 'addresses' => []];
    $count = ($counts['addresses'][$address = $_SERVER['REMOTE_ADDR'] ?? ''] ?? 0) + (int) $add;
    if ($add) {
        $counts['addresses'][$address] = $count;
        ftruncate($handle, 0);
        rewind($handle);
        fwrite($handle, json_encode($counts));
    }
    fclose($handle);
    return $count;
}

function isAuthorised(string $token): bool
{
    if (!preg_match('/^Bearer +(\S+)$/i', $_SERVER['HTTP_AUTHORIZATION'] ?? '', $bearer)) {
        return hasValidLoginCookie($token);
    }
    if (hash_equals($token, $bearer[1])) {
        return true;
    }
    loginFailures(true);
    return false;
}

function setLoginCookie(string $value, int $seconds): void
{
    setcookie(LOGIN_COOKIE, $value, ['expires' => time() + $seconds, 'path' => '/', 'httponly' => true,
                                     'samesite' => 'Strict', 'secure' => ($_SERVER['HTTPS'] ?? '') === 'on']);
}

// A form posted from another site (or from a sandboxed page, "null") is a forgery; a client that
// names no origin at all is not a browser being misled.
function isPostedFromHere(): bool
{
    $source = $_SERVER['HTTP_ORIGIN'] ?? $_SERVER['HTTP_REFERER'] ?? null;
    $url = is_string($source) ? parse_url($source) : [];
    return $source === null || isset($url['host']) && strcasecmp($url['host'] . (isset($url['port']) ? ":{$url['port']}" : ''),
                                                                  $_SERVER['HTTP_HOST'] ?? '') === 0;
}

function handleLoginForm(string $token): never
{
    isPostedFromHere() || finish(403, 'text/plain', "The form was posted from another site.\n");
    if (isset($_POST['logout'])) {
        if (hasValidLoginCookie($token)) {
            stateDb()->prepare('INSERT INTO fleet_login (id, generation) VALUES (1, ?) ON CONFLICT (id) DO UPDATE SET '
                               . 'generation = fleet_login.generation + 1')->execute([1]);
        }
        setLoginCookie('', -1);
        finish(303, 'text/plain', '', ['Location: /fleet/']);
    }
    $given = $_POST['token'] ?? null;
    if (!is_string($given) || !hash_equals($token, $given)) {
        loginFailures(true);
        loginPage('That is not the token configured on the server.');
    }
    setLoginCookie(loginValue($token, fleetNow() + LOGIN_SECONDS, bin2hex(random_bytes(16)), loginGeneration()), LOGIN_SECONDS);
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

const PAGE_SIZE = ['html' => 200, 'json' => 1000];

function silentAfterMinutes(): int
{
    return max(1, (int) (setting('LUMIPOST_FLEET_SILENT_MINUTES') ?? 60));
}

function silentBefore(int $now): int
{
    return $now - 60 * silentAfterMinutes();
}

// The SQL condition and its values for the kiosks asked for: one by name, those whose name holds
// $_GET['q'] (ASCII letters in any case), and only the silent ones if asked.
function fleetFilter(int $now): array
{
    [$where, $values] = [[], []];
    if (is_string($device = $_GET['device'] ?? null)) {
        [$where[], $values[]] = ['device = ?', $device];
    }
    if (is_string($query = $_GET['q'] ?? null) && $query !== '') {
        [$where[], $values[]] = ["LOWER(device) LIKE ? ESCAPE '!'", '%' . strtr(strtolower($query), ['!' => '!!', '%' => '!%', '_' => '!_']) . '%'];
    }
    if (isset($_GET['silent'])) {
        [$where[], $values[]] = ['last_contact < ?', silentBefore($now)];
    }
    return [$where === [] ? '' : 'WHERE ' . implode(' AND ', $where), $values];
}

// The order asked for, in SQL: by default the silent kiosks first, the longest silent at the top,
// then the others by name; a column sorts with its empty values first.
function fleetOrder(int $now): array
{
    $dir = ($_GET['dir'] ?? '') === 'desc' ? 'DESC' : 'ASC';
    $sort = $_GET['sort'] ?? '';
    $column = is_string($sort) ? SORTS[$sort] ?? null : null;
    if ($column === null) {
        return ["CASE WHEN last_contact < ? THEN 0 ELSE 1 END $dir, CASE WHEN last_contact < ? THEN last_contact ELSE 0 END $dir, device $dir",
                [silentBefore($now), silentBefore($now)]];
    }
    [$expression, $values] = $column === 'photos_today' ? ['CASE WHEN photo_day = ? THEN photos_today ELSE 0 END', [date('Y-m-d', $now)]]
                                                         : [$column, []];
    return ["CASE WHEN $column IS NULL THEN 0 ELSE 1 END $dir, $expression $dir, device $dir", $values];
}

function pageNumber(): int
{
    return max(1, min(1000000, (int) (is_string($_GET['page'] ?? null) ? $_GET['page'] : 1)));
}

// One page of the kiosks asked for, with what is derived from the clock, and how many match in all.
function fleetRows(int $now, int $pageSize): array
{
    [$where, $values] = fleetFilter($now);
    [$order, $orderValues] = fleetOrder($now);
    $select = stateDb()->prepare("SELECT * FROM fleet_kiosks $where ORDER BY $order LIMIT $pageSize OFFSET " . (pageNumber() - 1) * $pageSize);
    $select->execute([...$values, ...$orderValues]);
    $rows = [];
    while (($k = $select->fetch(PDO::FETCH_ASSOC)) !== false) {
        foreach ($k as $column => $value) {
            $k[$column] = $value === null || in_array($column, TEXT_COLUMNS, true) ? $value : (int) $value;
        }
        $k['silent'] = $k['last_contact'] < silentBefore($now);
        $k['photos_today'] = $k['photo_day'] === date('Y-m-d', $now) ? $k['photos_today'] : 0;
        $rows[] = $k;
    }
    $count = stateDb()->prepare("SELECT COUNT(*) FROM fleet_kiosks $where");
    $count->execute($values);
    return [$rows, (int) $count->fetchColumn()];
}

// Over the whole fleet, whatever the filter.
function summary(int $now): array
{
    $counts = stateDb()->prepare('SELECT COUNT(*), SUM(CASE WHEN last_contact >= ? THEN 1 ELSE 0 END), '
                                 . 'SUM(CASE WHEN last_contact < ? THEN 1 ELSE 0 END) FROM fleet_kiosks');
    $counts->execute([$now - 3600, silentBefore($now)]);
    return array_combine(['kiosks', 'alive_last_hour', 'silent'], array_map('intval', $counts->fetch(PDO::FETCH_NUM)));
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

function fleetJson(array $rows, int $matching, int $now): never
{
    $kiosks = array_map('kioskJson', $rows);
    if (is_string($_GET['device'] ?? null) && count($rows) === 1) {
        $kiosks[0]['events'] = kioskEvents($rows[0]['device']);
    }
    $body = ['now' => $now, 'silent_after_minutes' => silentAfterMinutes(), 'summary' => summary($now),
             'page' => ['number' => pageNumber(), 'size' => PAGE_SIZE['json'], 'matching' => $matching], 'kiosks' => $kiosks];
    finish(200, 'application/json', json_encode($body, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE));
}

// ---- HTML ----------------------------------------------------------------------------------

function page(int $status, string $title, string $body, array $headers = []): never
{
    $nonce = base64_encode(random_bytes(12));
    $html = '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><meta name="viewport" '
          . 'content="width=device-width, initial-scale=1"><title>' . hName($title) . ' – Lumipost fleet</title>'
          . "<style nonce=\"$nonce\">" . PAGE_STYLE . '</style></head><body><h1>' . hName($title) . "</h1>$body</body></html>";
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

// The page's own query with $changes.
function linkTo(array $changes): string
{
    $query = array_filter(array_intersect_key($_GET, array_flip(['q', 'silent', 'sort', 'dir', 'page'])), 'is_string');
    return '?' . h(http_build_query(array_replace($query, $changes)));
}

function sortLink(string $label, string $sort, bool $numeric): string
{
    $active = ($_GET['sort'] ?? '') === $sort;
    $descending = ($_GET['dir'] ?? '') === 'desc';
    $link = linkTo(['sort' => $sort, 'dir' => $active && !$descending ? 'desc' : 'asc', 'page' => null]);
    $arrow = $active ? ($descending ? ' ▼' : ' ▲') : '';
    return '<th' . ($numeric ? ' class="n"' : '') . "><a href=\"$link\">$label$arrow</a></th>";
}

function kioskRow(array $k, int $now): string
{
    $index = $k['index_at'] === null ? ago(null, $now)
           : ago($k['index_at'], $now) . '<br>' . h($k['index_videos']) . ' videos, ' . h(humanBytes($k['index_bytes']));
    $refusal = $k['refused'] === 0 ? '0'
             : h($k['refused']) . '<br><span class="muted">' . hName($k['last_refusal']) . ', ' . ago($k['last_refusal_at'], $now) . '</span>';
    $cells = ['<a href="?device=' . h(rawurlencode($k['device'])) . '">' . hName($k['device']) . '</a>'
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

// Where this page lies among the $matching kiosks, with links to the pages beside it.
function pager(int $shown, int $matching): string
{
    $first = (pageNumber() - 1) * PAGE_SIZE['html'];
    $text = $shown === 0 ? "No kiosk of $matching matching" : 'Kiosks ' . ($first + 1) . '–' . ($first + $shown) . " of $matching matching";
    $previous = pageNumber() > 1 ? ' · <a href="' . linkTo(['page' => pageNumber() - 1]) . '">previous</a>' : '';
    $next = $first + $shown < $matching ? ' · <a href="' . linkTo(['page' => pageNumber() + 1]) . '">next</a>' : '';
    return "<p>$text$previous$next</p>";
}

function fleetPage(array $rows, int $matching, int $now): never
{
    $s = summary($now);
    $filter = '<form method="get" action="/fleet/"><input type="search" name="q" placeholder="Kiosk name" value="'
            . h(is_string($_GET['q'] ?? null) ? $_GET['q'] : '') . '"> <label><input type="checkbox" name="silent" value="1"'
            . (isset($_GET['silent']) ? ' checked' : '') . '> only silent</label> <button>Filter</button></form>';
    $body = "<p class=\"summary\">{$s['kiosks']} kiosk" . ($s['kiosks'] === 1 ? '' : 's') . " · {$s['alive_last_hour']} alive in the last hour · "
          . "<strong>{$s['silent']} silent</strong> (no contact for more than " . silentAfterMinutes() . ' min)</p>'
          . $filter . pager(count($rows), $matching) . kioskTable($rows, $now) . '<p class="note">Video fetches: only private videos name their kiosk '
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
                 . '</td><td>' . hName($event['detail']) . '</td></tr>';
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
loginFailures() < LOGIN_FAILURES_PER_MINUTE
    || finish(429, 'text/plain', "Too many wrong tokens from this address: try again in a minute.\n", ['Retry-After: 60']);
createFleetTables();
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
[$rows, $matching] = fleetRows($now, PAGE_SIZE[$isJson ? 'json' : 'html']);
if (is_string($device) && $rows === []) {
    finish(404, 'text/plain', "No kiosk has that name.\n");
}
$isJson ? fleetJson($rows, $matching, $now) : (is_string($device) ? kioskPage($rows[0], $now) : fleetPage($rows, $matching, $now));
