<?php
// Runs server/router.php as shipped (`php [-n] router.php HOST:PORT`) against a scratch data folder, checking tables of requests
// and, for uploads, the disk after. --postgres shares a scratch PostgreSQL (exit 77, skipped, where it cannot start).
declare(strict_types=1);

$failed = 0;
function check(bool $ok, string $what): void
{
    $ok || fwrite(STDERR, "FAIL: $what\n") && $GLOBALS['failed'] = 1;
}

// Runs $then against a server on $data with the settings $env; as root, unable to read any file, as nginx's www-data.
function withServer(string $data, array $env, callable $then, ?callable $command = null): void
{
    global $router, $port, $work;
    $port = (int) explode(':', stream_socket_get_name($socket = stream_socket_server('tcp://127.0.0.1:0'), false))[1];
    fclose($socket);
    $command ??= fn($address) => [PHP_BINARY, ...(php_ini_loaded_file() === false ? ['-n'] : []), $router, $address];
    $root = AS_ROOT ? ['setpriv', '--bounding-set=-dac_override,-dac_read_search'] : [];
    $server = proc_open([...$root, ...$command("127.0.0.1:$port")], [['file', '/dev/null', 'r'], ['file', "$work/server.log", 'a'],
                        ['redirect', 1]], $pipes, $work, $env + ['LUMIPOST_SERVER_DATA' => $data, 'TMPDIR' => $work] + getenv());
    for ($i = 0; $i < 200 && !@fsockopen('127.0.0.1', $port); ++$i, usleep(50000));
    try {
        $then();
    } finally {
        proc_terminate($server) && proc_close($server);
    }
}

// One HTTP/1.0 exchange; $body is chunks, an int for that many MiB of zeros. Gives status, body and headers by lower-case name.
function request(string $method, string $target, array $headers = [], array $body = [], int $timeout = 60): array
{
    stream_set_timeout($socket = fsockopen('127.0.0.1', $GLOBALS['port']), $timeout);
    $blocks = array_merge(...array_map(fn($chunk) => is_int($chunk) ? array_fill(0, $chunk, str_repeat("\0", 1 << 20)) : [$chunk], $body));
    fwrite($socket, implode("\r\n", ["$method $target HTTP/1.0", 'Content-Length: ' . array_sum(array_map('strlen', $blocks)), ...$headers, '', '']));
    array_map(fn($block) => @fwrite($socket, $block), $blocks); // fails once a server answers early
    [$head, $body] = explode("\r\n\r\n", (string) stream_get_contents($socket), 2) + ['', ''];
    preg_match_all('/^([\w-]+): *(.*?)\r?$/m', $head, $fields);
    return array_combine(array_map('strtolower', $fields[1]), $fields[2]) + ['status' => (int) substr($head, 9, 3), 'body' => $body];
}

// A multipart upload of $fields, then $files (field => bytes, or an int for that many MiB of zeros).
function upload(array $fields, array $files, int $timeout = 60): array
{
    $body = [];
    foreach ($fields + $files as $name => $value) {
        $file = isset($files[$name]) ? '; filename="p.jpg"' : '';
        array_push($body, "--b0undary\r\nContent-Disposition: form-data; name=\"$name\"$file\r\n\r\n", $value, "\r\n");
    }
    return request('POST', '/sync_api.php?action=upload', ['Content-Type: multipart/form-data; boundary=b0undary'],
                   [...$body, "--b0undary--\r\n"], $timeout);
}

// Rows: "METHOD target" (or "PHOTO device path"), status, body (null: any), headers, answer headers (null: absent), body sent.
function checkRequests(array $rows): void
{
    foreach ($rows as $row) {
        [$request, $status, $body, $headers, $wanted, $sent] = $row + [2 => null, 3 => [], 4 => [], 5 => ''];
        [$method, $target] = explode(' ', $request, 2);
        $answer = $method === 'PHOTO' ? upload(array_combine(['device_uuid', 'relative_path'], explode(' ', $target)), ['photo' => $target])
                                      : request($method, $target, $headers, [$sent]);
        check($answer['status'] === $status && ($body === null || $answer['body'] === $body)
              && array_replace($wanted, array_intersect_key($answer, $wanted)) === $wanted,
              "$request " . implode(', ', $headers) . " gives $status: {$answer['status']} " . substr($answer['body'], 0, 300));
    }
}

// What is below uploads/, symlinks not followed: path => bytes, folders as "path/".
function disk(): array
{
    $root = "{$GLOBALS['data']}/uploads";
    foreach (new RecursiveIteratorIterator(new RecursiveDirectoryIterator($root, FilesystemIterator::SKIP_DOTS), 1) as $path => $item) {
        $isFolder = $item->isDir() && !$item->isLink();
        $found[substr($path, strlen($root) + 1) . ($isFolder ? '/' : '')] = $isFolder || $item->isLink() ? '' : file_get_contents($path);
    }
    ksort($found);
    return $found;
}

// Files below $dir, path => bytes; a path ending in "/" is a folder.
function put(string $dir, array $files): void
{
    foreach ($files as $path => $bytes) {
        @mkdir(dirname("$dir/$path"), 0777, true);
        str_ends_with($path, '/') ? mkdir("$dir/$path") : file_put_contents("$dir/$path", $bytes);
    }
}

$router = realpath($argv[1] ?? '') ?: throw new InvalidArgumentException('usage: php [-n] sync_server_test.php router.php [--postgres]');
define('AS_ROOT', trim((string) shell_exec('id -u')) === '0');
mkdir($work = sys_get_temp_dir() . '/lumipost-server-test-' . bin2hex(random_bytes(6)));
$data = "$work/data";
register_shutdown_function(function () use ($work) {
    isset($GLOBALS['postgres']) && exec("{$GLOBALS['postgres']} -m fast stop >/dev/null 2>&1");
    $GLOBALS['failed'] && fwrite(STDERR, "Server log:\n" . implode('', array_slice(file("$work/server.log"), -60)));
    exec('rm -rf ' . escapeshellarg($work));
});
$settings = ['LUMIPOST_FLEET_TOKEN' => 'the-token'];
if (in_array('--postgres', $argv, true)) {
    // A scratch cluster listening on a socket in its folder only, run as nobody when this runs as root.
    $pg = "$work/postgres";
    $programs = (AS_ROOT ? 'setpriv --reuid=nobody --regid=nogroup --clear-groups ' : '') . (glob('/usr/lib/postgresql/*/bin')[0] ?? '-');
    $postgres = "$programs/pg_ctl -D $pg/data -l $pg/server.log";
    exec("mkdir -m 777 $pg && $programs/initdb -D $pg/data -U lumipost --auth=trust >$pg/initdb.log 2>&1 && $postgres -w -o "
         . "\"-c listen_addresses='' -k $pg\" start >/dev/null 2>&1", result_code: $status);
    if ($status !== 0 || !extension_loaded('pdo_pgsql')) {
        echo "SKIP: needs postgresql and php-pgsql, and a PostgreSQL that starts:\n", implode('', array_map('file_get_contents', glob("$pg/*.log")));
        exit(77);
    }
    $settings['LUMIPOST_SERVER_DSN'] = "pgsql:host=$pg;dbname=postgres;user=lumipost";
}
$api = '/sync_api.php?action=';
$list = "GET {$api}list_videos&device_uuid=";

// A scripted fleet in an empty database: each step restarts the server at its time (minutes before the page is read
// => the kiosks' requests), on the data folders in turn.
$folders = isset($settings['LUMIPOST_SERVER_DSN']) ? ["$work/a", "$work/b"] : ["$work/a"];
array_map(fn($folder) => put($folder, ['Lumipost/ADS/Public/public.mp4' => str_repeat('p', 10),
                                       'Lumipost/ADS/Private/kiosk-busy/own.mp4' => str_repeat('o', 20), 'uploads/' => '', 'Lumipost/Application/' => '']), $folders);
$at = fn(int $minutes) => ['LUMIPOST_SERVER_NOW' => (string) (gmmktime(1, 30, 0, 12, 7, 2026) - 60 * $minutes), 'LUMIPOST_FLEET_NEW_PER_HOUR' => '2'] + $settings;
// A month ago: a name seen once (gone once a new name comes), one seen twice, and a third name from that address within the hour (refused).
$steps = [44640 => [["{$list}once", 200], ["{$list}twice", 200], ["{$list}twice", 200], ["{$list}third", 200]],
          200 => [["{$list}%3Ci%3Equ%E2%80%AEiet", 200], ["PHOTO <i>qu\u{202E}iet a.jpg", 201], ['PHOTO kiosk-busy y.jpg', 201]],
          50 => [["{$list}kiosk-busy", 200], ['PHOTO kiosk-busy b', 201], ["PHOTO kiosk-busy ../\xff\0.jpg", 400], ['PHOTO kiosk-busy b', 200],
                 ['GET /Lumipost/ADS/Private/kiosk-busy/own.mp4', 200], ['GET /Lumipost/ADS/Private/kiosk-busy/gone.mp4', 404]]];
foreach (array_keys($steps) as $i => $minutes) {
    withServer($folders[$i % count($folders)], $at($minutes), fn() => checkRequests($steps[$minutes]));
}
withServer(end($folders), $at(0), function () {
    $fleet = fn(string $query = '') => json_decode(request('GET', "/fleet.json$query", ['Authorization: Bearer the-token'])['body'], true);
    // Silent first (<i>quiet yesterday at 22:10), then by name; kiosk-busy's first photo was yesterday.
    $shown = fn($k) => [$k['device'], $k['silent'], $k['video_index']['videos'] ?? null, $k['video_index']['bytes'] ?? null,
                        ...array_values($k['private_videos_fetched']), $k['photos']['today'], $k['photos']['total'], $k['photos']['refused']];
    check(array_map($shown, ($all = $fleet())['kiosks']) === [['twice', true, 1, 10, 0, 0, 0, 0, 0], ["<i>qu\u{202E}iet", true, 1, 10, 0, 0, 0, 1, 0],
          ['kiosk-busy', false, 2, 30, 1, 1, 1, 2, 1]] && $all['summary'] === ['kiosks' => 3, 'alive_last_hour' => 1, 'silent' => 2], 'the fleet: ' . json_encode($all));
    // Filtered, sorted and paged by the database; the summary stays the whole fleet's.
    check(array_column($fleet('?sort=photos&dir=desc')['kiosks'], 'device') === ['kiosk-busy', "<i>qu\u{202E}iet", 'twice']
          && ($busy = $fleet('?q=BUSY'))['page'] === ['number' => 1, 'size' => 1000, 'matching' => 1] && $busy['summary']['kiosks'] === 3
          && $fleet('?page=2')['kiosks'] === [] && $fleet('?q=%25')['kiosks'] === [], 'sorted, filtered and paged');
    $page = request('GET', '/fleet/', ['Authorization: Bearer the-token'])['body'];
    check(array_column($fleet('?device=kiosk-busy')['kiosks'][0]['events'] ?? [], 'kind') === ['private video fetched', 'photo stored',
          'photo refused', 'photo stored', 'index fetched', 'photo stored'] && array_column($fleet('?silent=1')['kiosks'], 'device') === ['twice', "<i>qu\u{202E}iet"]
          && str_contains($page, '&lt;i&gt;qu\u202eiet') && !str_contains($page, '<i>'), 'events newest first, only the silent, names escaped');
});

// The data folder: the application tree is reached through a symlink, as an atomic switch of releases leaves it.
$app = ['bin/' => '', 'bin/app.exe' => 'app', 'empty/' => '', 'readme.txt' => 'read me', 'sub dir/' => '', 'sub dir/a b.txt' => 'spaced'];
$ads = ['Public/a.mp4' => random_bytes(3 << 20), 'Public/ten.mp4' => '0123456789', 'Private/dev1/p.mp4' => 'private 1',
        'Private/dev2/q.mp4' => 'private 2', 'shared/s.mp4' => 'shared 3'];
$name250 = str_repeat('n', 246) . '.jpg';
put("$data/releases/v42", $app + array_fill_keys(['bad#name.txt', 'locked.txt', 'CON.txt', 'a<b.txt', 'dot.', "\xff.txt", 'Twin.txt', 'twin.txt',
                                                 'é.txt', 'É.txt', '.hidden'], 'left out'));
put("$data/Lumipost/ADS", $ads + array_fill_keys(['Public/.part.mp4', 'Public/c:d.mp4', "Public/g\nh.mp4", 'Public/folder/x.mp4'], 'not served'));
put("$data/uploads/dev1", ['blocked' => 'a file', 'shots/noext' => 'x', "shots/$name250" => 'x', 'shots/dir.jpg/' => '',
                           'shots/.upload-new' => 'in flight', 'shots/.upload-old' => 'stale', '../.elsewhere/' => '']);
touch("$data/uploads/dev1/shots/.upload-old", time() - 7200);
chmod("$data/releases/v42/locked.txt", 0);
$links = ['Lumipost/Application' => '../releases/v42', 'releases/v42/link' => 'bin', 'Lumipost/ADS/Private/dev3' => '../shared', 'Lumipost/ADS/Private/dev4' => '../Public',
          'uploads/dev1/linked' => '../.elsewhere'];
array_map(fn($link, $target) => symlink($target, "$data/$link"), array_keys($links), $links);

$appIndex = json_encode(array_map(fn($path, $bytes) => ['relativePath' => rtrim($path, '/'), 'size' => strlen($bytes), 'isDir' => $path[-1] === '/']
    + ($path[-1] === '/' ? [] : ['sha256' => hash('sha256', $bytes)]), array_keys($app), $app), JSON_UNESCAPED_SLASHES);
$videos = fn(string ...$names) => json_encode(array_map(fn($v) => ['type' => dirname($v) === 'Public' ? 'public' : 'private',
    'filename' => basename($v), 'size' => strlen($ads[$v]), 'sha256' => hash('sha256', $ads[$v])], ['Public/a.mp4', 'Public/ten.mp4', ...$names]));
withServer($data, $settings, function () use ($data, $ads, $appIndex, $videos, $api, $list, $name250) {
    // The indexes leave out hidden, unreachable, Windows-invalid, case twin, unreadable and linked entries.
    checkRequests([["{$list}dev4", 200], ["GET {$api}list_apps", 200, $appIndex, [], ['x-lumipost-index-signature' => null]], ["{$list}..%2Fdev1", 200, $videos()], ["{$list}unknown", 200, $videos()],
                   ["{$list}dev1", 200, $videos('Private/dev1/p.mp4')], ["{$list}dev3", 200, $videos('shared/s.mp4')],
                   ["GET {$api}upload", 405, null, [], ['allow' => 'POST']], ["POST {$api}list_videos", 405], ["GET {$api}delete", 400]]);

    // Static files as nginx serves them: only what the indexes list, and ranges and conditions as its filters.
    [$a, $ten, $app, $old] = ['/Lumipost/ADS/Public/a.mp4', '/Lumipost/ADS/Public/ten.mp4', '/Lumipost/Application', 'Thu, 01 Jan 1970 00:00:00 GMT'];
    $notFound = ["$app/locked.txt", "$app/%2e%2e/%2e%2e/uploads/dev1/blocked", "$app/.hidden", "$app/link/app.exe", "$app/bin", '/router.php',
                 "$app/bad%23name.txt", "$app/CON.txt", "$app/dot.", "$app/%FF.txt", '/Lumipost//Application/readme.txt', '/uploads/dev1/blocked',
                 '/Lumipost/./Application/readme.txt', '/Lumipost/ADS/Public/c:d.mp4', '/Lumipost/ADS/../../sync_api.php'];
    ['etag' => $etag, 'last-modified' => $date] = request('GET', $ten);
    // ten.mp4 with $headers: a 206 of the span "from-to" (a digit each), or the status, a 200 sending it whole.
    $range = fn(array $headers, int|string $answer) => is_int($answer)
        ? ["GET $ten", $answer, $answer === 200 ? '0123456789' : '', $headers, ['content-range' => $answer === 416 ? 'bytes */10' : null]]
        : ["GET $ten", 206, substr('0123456789', (int) $answer[0], $answer[2] - $answer[0] + 1), $headers, ['content-range' => "bytes $answer/10"]];
    checkRequests([["GET $a", 200, $ads['Public/a.mp4'], [], ['content-length' => (string) (3 << 20), 'x-powered-by' => null]],
                   ["GET $a", 206, substr($ads['Public/a.mp4'], 1048577), ['Range: bytes=1048577-']],
                   ["HEAD $a", 206, '', ['Range: bytes=1048576-'], ['content-length' => (string) (2 << 20)]],
                   ["GET $app/sub%20dir/a%20b.txt", 200, 'spaced'], ['GET /Lumipost/ADS/Private/dev3/s.mp4', 200, 'shared 3'],
                   ["PUT $app/bin/app.exe", 405], ['GET /Lumipost/ADS/../../../etc/passwd', 400], ["GET $app/bin%00/app.exe", 400],
                   ...array_map(fn($target) => ["GET $target", 404, ''], $notFound),
                   $range([], 200), $range(['Range: bytes=2-'], '2-9'), $range(['Range: bytes=2-4'], '2-4'), $range(['Range: bytes=-3'], '7-9'),
                   $range(['Range: bytes=0-100'], '0-9'), $range(['Range: Bytes= 2 - 4'], '2-4'), $range(['Range: bytes=10-'], 416),
                   $range(['Range: bytes=abc'], 416), $range(['Range: bytes=0-1,3-4'], 200), $range(['Range: items=2-'], 200),
                   $range(['Range: bytes=2-', "If-Range: $etag"], '2-9'), $range(['Range: bytes=2-', "If-Range: $date"], '2-9'),
                   $range(['Range: bytes=2-', "If-Range: W/$etag"], 200), $range(['Range: bytes=2-', "If-Range: $old"], 200),
                   $range(["If-None-Match: \"x\", W/$etag"], 304), $range(["If-Modified-Since: $date"], 304),
                   $range(["If-Modified-Since: $old"], 200), $range(['If-None-Match: "x"'], 200), $range(['If-Match: "x"'], 412),
                   $range(["If-Match: $etag"], 200), $range(["If-Unmodified-Since: $old"], 412), $range(["If-Unmodified-Since: $date"], 200)]);

    // The hash cache: readme.txt is hashed again when rewritten at its old time and size, or renamed into place with them (as
    // `cp -p`, `rsync -a` or `tar` publish), and loses its row when deleted (null).
    $t0 = filemtime($readme = "$data/releases/v42/readme.txt");
    foreach ([['READ ME', $t0, 'READ ME', ''], ['ReAd Me', $t0, 'ReAd Me', '.new'], [null, 0, null, ''], ['read me', $t0 + 1, 'read me', '']] as [$bytes, $t, $of, $via]) {
        $bytes === null ? unlink($readme) : file_put_contents($written = $readme . $via, $bytes) && touch($written, $t) && rename($written, $readme);
        $listed = array_column(json_decode(request('GET', "{$api}list_apps")['body'], true), 'sha256', 'relativePath');
        check(($listed['readme.txt'] ?? null) === ($of ? hash('sha256', $of) : null), "hash listed after writing $bytes at $t");
    }

    // Uploads. Rows: fields, photo (bytes, MiB of zeros or all files), status, stored path, other changes (null: gone, "x/": new folder).
    $form = fn(?string $path, ?string $device = 'dev1') => array_filter(['device_uuid' => $device, 'relative_path' => $path], 'is_string');
    $rows = [[$form('shots/a.jpg'), 'one', 201, 'dev1/shots/a.jpg', ['dev1/shots/.upload-old' => null]], // a stale temp file goes, not one in flight
             [$form('shots/a.jpg'), 'one', 200, 'dev1/shots/a.jpg'], [$form('shots/a.jpg'), 'two', 201, 'dev1/shots/a-1.jpg'],
             [$form('shots/a.jpg'), 'two', 200, 'dev1/shots/a-1.jpg'], [$form('shots\\b.jpg'), 'bee', 201, 'dev1/shots/b.jpg'],
             [$form('shots/dir.jpg'), 'd', 201, 'dev1/shots/dir-1.jpg'], [$form('shots/noext'), 'y', 201, 'dev1/shots/noext-1'],
             [$form("shots/$name250"), 'z', 201, 'dev1/shots/' . str_replace('.jpg', '-1.jpg', $name250)],
             [$form('x.jpg', str_repeat('d', 255)), 'd', 201, str_repeat('d', 255) . '/x.jpg', [str_repeat('d', 255) . '/' => '']],
             ...array_map(fn($path) => [$form($path), 'bad', 400], ['../x.jpg', 'C:x.jpg', '/x.jpg', 'a/', "x\0.jpg", '.upload-x',
                                                                   "\xff.jpg", str_repeat('n', 247) . '.jpg', str_repeat('f', 256) . '/x.jpg', null]),
             ...array_map(fn($device) => [$form('x.jpg', $device), 'bad', 400], ['..', 'dev1/sub', '', "d\xe9v", null]), [$form('x.jpg'), [], 400],
             [['MAX_FILE_SIZE' => '1'] + $form('x.jpg'), 'too big', 413], [$form('x.jpg'), 513, 413],
             [$form('x.jpg'), ['photo' => 'p'] + array_fill(0, 21, str_repeat('e', 1 << 16)), 400], // past max_file_uploads: PHP just warns
             [$form('blocked/x.jpg'), 'p', 500], [$form('linked/new/x.jpg'), 'p', 500]];
    foreach ($rows as $row) {
        [$fields, $photo, $status, $stored, $changes] = $row + [3 => null, 4 => []];
        $expected = array_filter(array_merge(disk(), $status === 201 ? [$stored => $photo] : [], $changes), 'is_string');
        ksort($expected);
        $answer = upload($fields, is_array($photo) ? $photo : ['photo' => $photo]);
        $receipt = ['stored' => $stored, 'new' => $status === 201, 'sha256' => is_string($photo) ? hash('sha256', $photo) : null];
        $receiptOk = json_decode($answer['body'], true) === $receipt && ($answer['x-content-sha256'] ?? null) === $receipt['sha256'];
        check($answer['status'] === $status && ($status >= 300 || $receiptOk) && disk() === $expected,
              'upload ' . json_encode($fields, JSON_INVALID_UTF8_SUBSTITUTE) . ": {$answer['status']} {$answer['body']}");
    }
    flock($lock = fopen("$data/uploads/dev1", 'r'), LOCK_EX);
    check(upload($form('l.jpg', 'dev2'), ['photo' => 'l'], 10)['status'] === 201
          && upload($form('l.jpg'), ['photo' => 'l'], 1)['status'] === 0, "a device's lock holds its uploads only");
    fclose($lock);

    // The fleet page: closed without the token, open with it as a header or the login's cookie (HttpOnly, SameSite=Strict).
    $login = request('POST', '/fleet/', [$urlencoded = 'Content-Type: application/x-www-form-urlencoded'], ['token=the-token']);
    $cookieOf = fn($login) => preg_match('/^(lumipost_fleet=[\w.]+); expires=[^;]+; Max-Age=43200; path=\/; httponly; samesite=strict$/i', $login['set-cookie'] ?? '', $m) ? $m[1] : '';
    [$cookie, $posted] = [$cookieOf($login), [$urlencoded, $host = 'Host: 127.0.0.1:' . $GLOBALS['port'], 'Origin: http://127.0.0.1:' . $GLOBALS['port']]];
    // A kiosk whose private folder is the public one is recorded (its files came twice in the first save of hashes).
    checkRequests([['GET /fleet.json?device=dev4', 200, null, ['Authorization: Bearer the-token']], ['GET /fleet/', 401], ['GET /fleet/', 401, null, ['Cookie: lumipost_fleet=the-token']],
                   ['GET /fleet.json', 401, null, ['Authorization: Bearer wrong']], ['POST /fleet/', 401, null, [$urlencoded], [], 'token=wrong'],
                   ['GET /fleet.json', 200, null, ['Authorization: Bearer the-token']], ['GET /fleet/', 200, null, ["Cookie: $cookie"]],
                   ['POST /fleet/', 403, null, [$urlencoded, $host, 'Origin: http://evil.example'], [], 'token=the-token'],
                   ['POST /fleet/', 303, null, [...$posted, "Cookie: $cookie"], [], 'logout=1'], ['GET /fleet/', 401, null, ["Cookie: $cookie"]]]);
    $GLOBALS['fresh'] = $cookieOf(request('POST', '/fleet/', $posted, ['token=the-token']));
});
// Signed indexes: keygen.php writes a secret only it can read, never over a file; each index is signed for its route and the
// device asked for, with a counter that grows across restarts (with PostgreSQL, across two servers sharing it).
exec(PHP_BINARY . ' ' . dirname($router) . "/keygen.php $work/index.key", $public, $made);
exec(PHP_BINARY . ' ' . dirname($router) . "/keygen.php $work/index.key 2>&1", $again, $remade);
$signed = fn(array $a, string $route, string $device) => sodium_crypto_sign_verify_detached(base64_decode($a['x-lumipost-index-signature'] ?? '') ?: str_repeat('-', 64),
    "lumipost-index-v1\n$route\n$device\n" . ($a['x-lumipost-index-counter'] ?? '') . "\n" . hash('sha256', $a['body']), base64_decode($public[0]));
$counters = [];
foreach ([...$folders, ...$folders] as $i => $folder) {
    withServer($folder, ['LUMIPOST_SIGNING_KEY_FILE' => "$work/index.key"] + $settings, function () use ($api, $signed, $i, &$counters) {
        [$apps, $videos] = [request('GET', "{$api}list_apps"), request('GET', "{$api}list_videos&device_uuid=dev1")];
        check($signed($apps, 'list_apps', '') && $signed($videos, 'list_videos', 'dev1') && !$signed($videos, 'list_videos', 'dev2'),
              "run $i: both indexes signed for their route and device: {$apps['status']} {$videos['status']}");
        array_push($counters, (int) $apps['x-lumipost-index-counter'], (int) $videos['x-lumipost-index-counter']);
    });
}
check($made === 0 && $remade === 1 && (fileperms("$work/index.key") & 0777) === 0600 && $counters === range(1, count($counters)),
      'one key made, with mode 0600, counters ' . implode(' ', $counters));
withServer($data, ['LUMIPOST_SIGNING_KEY_FILE' => "$work/missing.key"] + $settings, fn() => checkRequests([["GET {$api}list_apps", 500]]));

// A login cookie holds for 12 hours.
withServer($data, ['LUMIPOST_SERVER_NOW' => (string) (time() + 43260)] + $settings, fn() => checkRequests([['GET /fleet/', 401, null, ["Cookie: $fresh"]]]));

// This test's folder, without the trees, is a wrong data folder (an empty index would wipe the kiosks); a failed index is contact.
withServer($work, $settings, function () use ($work, $api, $list) {
    checkRequests([["GET {$api}list_apps", 500], ["{$list}kiosk-lost", 500], ['PHOTO dev1 x.jpg', 500]]);
    check(!file_exists("$work/uploads") && str_contains(request('GET', '/fleet/?device=kiosk-lost', ['Authorization: Bearer the-token'])['body'],
                                                              '<td>index failed</td>'), 'nothing stored, the failed index recorded');
    // Ten wrong tokens a minute from one address, then even the right one waits.
    checkRequests([['POST /fleet/', 401, null, [], [], 'token=x'], ...array_fill(0, 9, ['GET /fleet.json', 401, null, ['Authorization: Bearer x']]),
                   ['GET /fleet.json', 429, null, ['Authorization: Bearer the-token']]]);
});
// A failing state database costs hashes and fleet records, each loss logged, never an answer; no token closes the fleet page.
withServer($data, ['LUMIPOST_SERVER_DSN' => "sqlite:$work/missing/state.sqlite"], fn() => checkRequests([
    ["GET {$api}list_apps", 200], ["{$list}dev1", 200],
    ['GET /Lumipost/ADS/Private/dev1/p.mp4', 200, 'private 1'], ['PHOTO dev1 z.jpg', 201], ['GET /fleet.json', 403]]));
// A database server that never answers costs the first request one connection timeout, and the next none.
$silent = stream_socket_server('tcp://127.0.0.1:0');
is_file(ini_get('extension_dir') . '/pdo_pgsql.so') && withServer($data, ['LUMIPOST_SERVER_DSN' => 'pgsql:host=127.0.0.1;port='
    . explode(':', stream_socket_get_name($silent, false))[1]], fn() => checkRequests([["{$list}dev1", 200], ["{$list}dev1", 200]]));
for ($tries = 0; @stream_socket_accept($silent, 0); ++$tries);
$log = file_get_contents("$work/server.log");
check(str_contains($log, 'the state database failed') && substr_count($log, 'lumipost fleet: cannot record') === 4 + 2 * $tries
      && $tries === (int) is_file(ini_get('extension_dir') . '/pdo_pgsql.so'), "each loss logged, $tries connection attempts");
// Started by hand without the settings of common.php, the server refuses everything rather than risk a 200.
withServer($data, [], fn() => checkRequests([["GET {$api}list_apps", 500]]), fn($address) => [PHP_BINARY, '-n', '-S', $address, $router]);
exit($failed === 0 ? 0 : 1);
