<?php
// A scripted fleet: kiosks make their requests at given times (each step starts router.php with its
// clock set), then the fleet page is read. Given a DSN, two servers with their own data folders
// take turns over that one database, so each must see the other's kiosks.
// Usage: php fleet_test.php path/to/server/router.php [PDO DSN]
declare(strict_types=1);

$failed = 0;
function check(bool $ok, string $what): void
{
    global $failed;
    $ok || ++$failed;
    echo ($ok ? 'ok:   ' : 'FAIL: ') . "$what\n";
}

// Runs $requests against router.php started with $settings, and returns what they return.
function withServer(string $data, array $settings, callable $requests): mixed
{
    global $router, $base, $log;
    $socket = stream_socket_server('tcp://127.0.0.1:0');
    $address = stream_socket_get_name($socket, false);
    fclose($socket);
    $env = ['LUMIPOST_SERVER_DATA' => $data] + $settings + getenv();
    $server = proc_open([PHP_BINARY, $router, $address], [['file', '/dev/null', 'r'], ['file', $log, 'a'], ['file', $log, 'a']],
                        $pipes, null, $env);
    for ($i = 0; $i < 100 && !@fsockopen('127.0.0.1', (int) explode(':', $address)[1]); ++$i) {
        usleep(50000);
    }
    $base = "http://$address";
    try {
        return $requests();
    } finally {
        proc_terminate($server);
        proc_close($server);
    }
}

function http(string $method, string $path, array $headers = [], string $body = ''): array
{
    global $base;
    $context = stream_context_create(['http' => ['method' => $method, 'header' => $headers, 'content' => $body,
                                                 'ignore_errors' => true, 'follow_location' => 0]]);
    $answer = file_get_contents($base . $path, false, $context);
    return [(int) substr($http_response_header[0], 9, 3), $answer, implode("\n", $http_response_header)];
}

// One kiosk request as the agent makes it; gives the status.
function kiosk(string $device, string $what, string $argument = ''): int
{
    $boundary = 'fleet-test';
    $field = fn($name, $value, $file = '') => "--$boundary\r\nContent-Disposition: form-data; name=\"$name\"$file\r\n\r\n$value\r\n";
    return match ($what) {
        'index' => http('GET', '/sync_api.php?action=list_videos&device_uuid=' . rawurlencode($device))[0],
        'video' => http('GET', '/Lumipost/ADS/Private/' . rawurlencode($device) . "/$argument")[0],
        'photo' => http('POST', '/sync_api.php?action=upload', ["Content-Type: multipart/form-data; boundary=$boundary"],
                        $field('device_uuid', $device) . $field('relative_path', $argument)
                        . $field('photo', "photo $argument", '; filename="p.jpg"') . "--$boundary--\r\n")[0],
    };
}

function fleet(string $query = ''): array
{
    return json_decode(http('GET', "/fleet.json$query", ['Authorization: Bearer the-token'])[1], true);
}

$router = realpath($argv[1] ?? '');
$dsn = $argv[2] ?? null;
$work = sys_get_temp_dir() . '/lumipost-fleet-test-' . bin2hex(random_bytes(6));
$log = "$work/server.log";
$servers = $dsn === null ? ["$work/a"] : ["$work/a", "$work/b"];
foreach ($servers as $data) {
    foreach (['Lumipost/ADS/Public', 'Lumipost/ADS/Private/kiosk-busy', 'uploads'] as $folder) {
        mkdir("$data/$folder", 0777, true);
    }
    file_put_contents("$data/Lumipost/ADS/Public/public.mp4", str_repeat('p', 10));
    file_put_contents("$data/Lumipost/ADS/Private/kiosk-busy/own.mp4", str_repeat('o', 20));
}
$settings = ['LUMIPOST_FLEET_TOKEN' => 'the-token'] + ($dsn === null ? [] : ['LUMIPOST_SERVER_DSN' => $dsn]);
$now = gmmktime(1, 30, 0, 12, 7, 2026);

// Minutes before the page is read, kiosk, its requests with the status each must get.
$steps = [[200, 'kiosk-quiet', [['index', '', 200], ['photo', 'a.jpg', 201]]],
          [150, 'kiosk-busy', [['photo', 'y.jpg', 201]]],
          [50, 'kiosk-busy', [['index', '', 200], ['photo', 'b.jpg', 201], ['photo', "../\xff\0.jpg", 400],
                              ['video', 'own.mp4', 200], ['video', 'gone.mp4', 404], ['photo', 'b.jpg', 200]]],
          [5, '<img src=x onerror=alert(1)>', [['photo', 'c.jpg', 201]]]];
foreach ($steps as $i => [$minutes, $device, $requests]) {
    withServer($servers[$i % count($servers)], ['LUMIPOST_SERVER_NOW' => $now - 60 * $minutes] + $settings,
        fn() => array_map(fn($r) => check(kiosk($device, $r[0], $r[1]) === $r[2], "$device: $r[0] gives $r[2]"), $requests));
}

withServer(end($servers), ['LUMIPOST_SERVER_NOW' => $now] + $settings, function () {
    // Silent first (kiosk-quiet yesterday at 22:10), then by name; kiosk-busy's first photo was yesterday.
    $wanted = [['kiosk-quiet', true, 1, 10, 0, 0, 0, 1, 0], ['<img src=x onerror=alert(1)>', false, null, null, 0, 0, 1, 1, 0],
               ['kiosk-busy', false, 2, 30, 1, 1, 1, 2, 1]];
    $shown = fn($k) => [$k['device'], $k['silent'], $k['video_index']['videos'] ?? null, $k['video_index']['bytes'] ?? null,
                        ...array_values($k['private_videos_fetched']), $k['photos']['today'], $k['photos']['total'],
                        $k['photos']['refused']];
    $fleet = fleet();
    check(array_map($shown, $fleet['kiosks']) === $wanted, 'the rows, silent first: ' . json_encode(array_map($shown, $fleet['kiosks'])));
    check($fleet['summary'] === ['kiosks' => 3, 'alive_last_hour' => 2, 'silent' => 1], 'the summary');
    check(array_column(fleet('?device=kiosk-busy')['kiosks'][0]['events'], 'kind')
          === ['photo stored', 'private video fetched', 'photo refused', 'photo stored', 'index fetched', 'photo stored'], 'the events, newest first');
    check(array_column(fleet('?silent=1')['kiosks'], 'device') === ['kiosk-quiet'], 'only the silent');
    $page = http('GET', '/fleet/', ['Authorization: Bearer the-token'])[1];
    check(str_contains($page, '&lt;img src=x onerror=alert(1)&gt;') && !str_contains($page, '<img'), "a kiosk's name is escaped");
});

// An index that fails is contact all the same.
mkdir("$work/broken");
withServer("$work/broken", $settings, fn() => check(kiosk('kiosk-lost', 'index') === 500
    && array_column(fleet('?device=kiosk-lost')['kiosks'][0]['events'], 'kind') === ['index failed'], 'a failed index'));

// Closed without a token, open with the token as a header or the login's cookie.
[$login, $cookie] = withServer($servers[0], $settings, function () {
    $form = ['Content-Type: application/x-www-form-urlencoded'];
    $login = http('POST', '/fleet/', $form, 'token=the-token');
    preg_match('/^Set-Cookie: (lumipost_fleet=\w+); path=\/; httponly; samesite=strict$/mi', $login[2], $cookie);
    $cases = [[[], 401], [['Authorization: Bearer wrong'], 401], [['Cookie: lumipost_fleet=the-token'], 401],
              [['Authorization: Bearer the-token'], 200], [['Cookie: ' . ($cookie[1] ?? '')], 200]];
    foreach ($cases as [$headers, $status]) {
        check(http('GET', '/fleet/', $headers)[0] === $status, implode(' ', $headers) . " gives $status");
    }
    check(http('POST', '/fleet/', $form, 'token=wrong')[0] === 401, 'a wrong login');
    return [$login[0], $cookie];
});
check($login === 303 && $cookie !== [], 'a login sets an HttpOnly, SameSite=Strict cookie');
withServer($servers[0], [], fn() => check(http('GET', '/fleet/')[0] === 403 && http('GET', '/fleet.json')[0] === 403,
                                           'no token configured: 403'));

// A database that fails costs the kiosk nothing.
withServer($servers[0], ['LUMIPOST_SERVER_DSN' => 'sqlite:/nonexistent/state.sqlite'], function () {
    check(kiosk('kiosk-busy', 'index') === 200 && kiosk('kiosk-busy', 'photo', 'd.jpg') === 201
          && kiosk('kiosk-busy', 'video', 'own.mp4') === 200, 'without its database the server answers as ever');
});
check(substr_count(file_get_contents($log), 'lumipost fleet: cannot record') === 3, 'and logs each loss');

exec('rm -rf ' . escapeshellarg($work));
exit($failed === 0 ? 0 : 1);
