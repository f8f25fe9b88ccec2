<?php
// Starts server/router.php as shipped (`php router.php HOST:PORT`, with -n when this runs with -n) on a
// free loopback port against a temporary data folder, and checks tables of requests: the answer, and
// for uploads what is on disk afterwards. --postgres runs it all against a scratch PostgreSQL, the
// fleet with two servers sharing it (exit 77, skipped, where PostgreSQL cannot start).
declare(strict_types=1);

$failed = 0;
function check(bool $ok, string $what): void
{
    global $failed;
    $failed += (int) !$ok;
    $ok || fwrite(STDERR, "FAIL: $what\n");
}

// Runs $then against a server on $data started with the settings $env, and stops it. As root the
// server runs without the capabilities that let root read any file, as nginx's www-data would.
function withServer(string $data, array $env, callable $then, ?callable $command = null): void
{
    global $router, $port, $work;
    $socket = stream_socket_server('tcp://127.0.0.1:0');
    $port = (int) explode(':', stream_socket_get_name($socket, false))[1];
    fclose($socket);
    $command ??= fn($address) => [PHP_BINARY, ...(php_ini_loaded_file() === false ? ['-n'] : []), $router, $address];
    $root = AS_ROOT ? ['setpriv', '--bounding-set=-dac_override,-dac_read_search'] : [];
    $server = proc_open([...$root, ...$command("127.0.0.1:$port")], [['file', '/dev/null', 'r'], ['file', "$work/server.log", 'a'],
                        ['redirect', 1]], $pipes, $work, $env + ['LUMIPOST_SERVER_DATA' => $data] + getenv());
    for ($i = 0; $i < 200 && !@fsockopen('127.0.0.1', $port); ++$i) {
        usleep(50000);
    }
    try {
        $then();
    } finally {
        proc_terminate($server);
        proc_close($server);
    }
}

// One HTTP/1.0 exchange; $body is chunks, an int for that many MiB of zero bytes. Gives the status,
// the body and each answer header by its lower-case name.
function request(string $method, string $target, array $headers = [], array $body = [], int $timeout = 60): array
{
    global $port;
    $socket = fsockopen('127.0.0.1', $port);
    stream_set_timeout($socket, $timeout);
    $blocks = array_merge(...array_map(fn($chunk) => is_int($chunk) ? array_fill(0, $chunk, str_repeat("\0", 1 << 20)) : [$chunk], $body));
    $lines = ["$method $target HTTP/1.0", 'Content-Length: ' . array_sum(array_map('strlen', $blocks)), ...$headers];
    fwrite($socket, implode("\r\n", [...$lines, '', '']));
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

// Rows: "METHOD target" (or "PHOTO device path", a kiosk's upload), status, body wanted (null: any),
// request headers, answer headers wanted (null: absent), request body.
function checkRequests(array $rows): void
{
    foreach ($rows as $row) {
        [$request, $status, $body, $headers, $wanted, $sent] = $row + [2 => null, 3 => [], 4 => [], 5 => ''];
        [$method, $target] = explode(' ', $request, 2);
        $answer = $method === 'PHOTO' ? upload(array_combine(['device_uuid', 'relative_path'], explode(' ', $target)), ['photo' => $target])
                                      : request($method, $target, $headers, [$sent]);
        $ok = $answer['status'] === $status && ($body === null || $answer['body'] === $body)
              && array_map(fn($name) => $answer[$name] ?? null, array_keys($wanted)) === array_values($wanted);
        check($ok, "$request " . implode(', ', $headers) . " gives $status: {$answer['status']} " . substr($answer['body'], 0, 300));
    }
}

// What is below uploads/, symlinks not followed: path => bytes, folders as "path/".
function disk(): array
{
    global $data;
    $found = [];
    $items = new RecursiveIteratorIterator(new RecursiveDirectoryIterator("$data/uploads", FilesystemIterator::SKIP_DOTS), 1);
    foreach ($items as $path => $item) {
        $isFolder = $item->isDir() && !$item->isLink();
        $found[substr($path, strlen("$data/uploads/")) . ($isFolder ? '/' : '')] = $isFolder || $item->isLink() ? '' : file_get_contents($path);
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
$work = sys_get_temp_dir() . '/lumipost-server-test-' . bin2hex(random_bytes(6));
$data = "$work/data";
mkdir($work);
register_shutdown_function(function () use ($work) {
    global $failed, $postgres;
    isset($postgres) && exec("$postgres -m fast stop >/dev/null 2>&1");
    $failed && fwrite(STDERR, "Server log:\n" . implode('', array_slice(file("$work/server.log"), -60)));
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
        echo "SKIP: needs the Debian packages postgresql and php-pgsql, and a PostgreSQL that starts:\n"
             . implode('', array_map('file_get_contents', glob("$pg/*.log")));
        exit(77);
    }
    $settings['LUMIPOST_SERVER_DSN'] = "pgsql:host=$pg;dbname=postgres;user=lumipost";
}
$api = '/sync_api.php?action=';

// A scripted fleet first, while the database holds nothing else: each step restarts the server with its
// clock set, taking turns over the data folders (with PostgreSQL two, each seeing the other's kiosks).
$folders = isset($settings['LUMIPOST_SERVER_DSN']) ? ["$work/a", "$work/b"] : ["$work/a"];
array_map(fn($folder) => put($folder, ['Lumipost/ADS/Public/public.mp4' => str_repeat('p', 10),
                                       'Lumipost/ADS/Private/kiosk-busy/own.mp4' => str_repeat('o', 20), 'uploads/' => '']), $folders);
$now = gmmktime(1, 30, 0, 12, 7, 2026);
// Minutes before the page is read => the kiosks' requests.
$steps = [200 => [["GET {$api}list_videos&device_uuid=%3Ci%3Equiet", 200], ['PHOTO <i>quiet a.jpg', 201]],
          150 => [['PHOTO kiosk-busy y.jpg', 201]],
          50 => [["GET {$api}list_videos&device_uuid=kiosk-busy", 200], ['PHOTO kiosk-busy b.jpg', 201], ["PHOTO kiosk-busy ../\xff\0.jpg", 400],
                 ['GET /Lumipost/ADS/Private/kiosk-busy/own.mp4', 200], ['GET /Lumipost/ADS/Private/kiosk-busy/gone.mp4', 404],
                 ['PHOTO kiosk-busy b.jpg', 200]]];
foreach (array_keys($steps) as $i => $minutes) {
    withServer($folders[$i % count($folders)], ['LUMIPOST_SERVER_NOW' => (string) ($now - 60 * $minutes)] + $settings,
               fn() => checkRequests($steps[$minutes]));
}
withServer(end($folders), ['LUMIPOST_SERVER_NOW' => (string) $now] + $settings, function () {
    $fleet = fn(string $query = '') => json_decode(request('GET', "/fleet.json$query", ['Authorization: Bearer the-token'])['body'], true);
    // Silent first (<i>quiet yesterday at 22:10), then by name; kiosk-busy's first photo was yesterday.
    $shown = fn($k) => [$k['device'], $k['silent'], $k['video_index']['videos'] ?? null, $k['video_index']['bytes'] ?? null,
                        ...array_values($k['private_videos_fetched']), $k['photos']['today'], $k['photos']['total'], $k['photos']['refused']];
    $all = $fleet();
    check(array_map($shown, $all['kiosks'] ?? []) === [['<i>quiet', true, 1, 10, 0, 0, 0, 1, 0], ['kiosk-busy', false, 2, 30, 1, 1, 1, 2, 1]]
          && $all['summary'] === ['kiosks' => 2, 'alive_last_hour' => 1, 'silent' => 1], 'the fleet: ' . json_encode($all));
    check(array_column($fleet('?device=kiosk-busy')['kiosks'][0]['events'] ?? [], 'kind') === ['photo stored', 'private video fetched',
          'photo refused', 'photo stored', 'index fetched', 'photo stored'], 'the events, newest first');
    check(array_column($fleet('?silent=1')['kiosks'] ?? [], 'device') === ['<i>quiet'], 'only the silent');
    $page = request('GET', '/fleet/', ['Authorization: Bearer the-token'])['body'];
    check(str_contains($page, '&lt;i&gt;quiet') && !str_contains($page, '<i>'), "a kiosk's name is escaped");
});

// The data folder: the application tree is reached through a symlink, as an atomic switch of releases leaves it.
$app = ['bin/' => '', 'bin/app.exe' => 'app', 'empty/' => '', 'readme.txt' => 'read me', 'sub dir/' => '', 'sub dir/a b.txt' => 'spaced'];
$leftOut = ['bad#name.txt', 'locked.txt', 'CON.txt', 'a<b.txt', 'dot.', "\xff.txt", 'Twin.txt', 'twin.txt', 'é.txt', 'É.txt', '.hidden'];
$ads = ['Public/a.mp4' => random_bytes(3 << 20), 'Public/ten.mp4' => '0123456789', 'Private/dev1/p.mp4' => 'private 1',
        'Private/dev2/q.mp4' => 'private 2', 'shared/s.mp4' => 'shared 3'];
$name250 = str_repeat('n', 246) . '.jpg';
put("$data/releases/v42", $app + array_fill_keys($leftOut, 'left out'));
$notServed = ['Public/.part.mp4', 'Public/c:d.mp4', 'Public/e\\f.mp4', "Public/g\nh.mp4", 'Public/folder/x.mp4'];
put("$data/Lumipost/ADS", $ads + array_fill_keys($notServed, 'not served'));
put("$data/uploads/dev1", ['blocked' => 'a file', 'shots/noext' => 'x', "shots/$name250" => 'x', 'shots/dir.jpg/' => '',
                           'shots/.upload-new' => 'in flight', 'shots/.upload-old' => 'stale', '../.elsewhere/' => '']);
touch("$data/uploads/dev1/shots/.upload-old", time() - 7200);
chmod("$data/releases/v42/locked.txt", 0);
$links = ['Lumipost/Application' => '../releases/v42', 'releases/v42/link' => 'bin', 'Lumipost/ADS/Private/dev3' => '../shared',
          'uploads/dev1/linked' => '../.elsewhere'];
array_map(fn($link, $target) => symlink($target, "$data/$link"), array_keys($links), $links);

$appIndex = fn(bool $hashed) => json_encode(array_map(fn($path, $bytes) => str_ends_with($path, '/')
    ? ['relativePath' => rtrim($path, '/'), 'size' => 0, 'isDir' => true]
    : ['relativePath' => $path, 'size' => strlen($bytes), 'isDir' => false] + ($hashed ? ['sha256' => hash('sha256', $bytes)] : []),
    array_keys($app), $app), JSON_UNESCAPED_SLASHES);
$videos = fn(string ...$names) => json_encode(array_map(fn($name) => ['type' => str_starts_with($name, 'Public/') ? 'public' : 'private',
    'filename' => basename($name), 'size' => strlen($ads[$name]), 'sha256' => hash('sha256', $ads[$name])],
    ['Public/a.mp4', 'Public/ten.mp4', ...$names]), JSON_UNESCAPED_SLASHES);
withServer($data, $settings, function () use ($data, $work, $ads, $appIndex, $videos, $api, $name250) {
    // The indexes leave out hidden, unreachable, Windows-invalid, case twin, unreadable and linked entries.
    checkRequests([["GET {$api}list_apps", 200, $appIndex(true), [], ['content-type' => 'application/json',
                                                                      'content-length' => (string) strlen($appIndex(true))]],
                   ["GET {$api}list_videos&device_uuid=dev1", 200, $videos('Private/dev1/p.mp4'), [], ['x-powered-by' => null]],
                   ["GET {$api}list_videos&device_uuid=dev3", 200, $videos('shared/s.mp4')],
                   ["GET {$api}list_videos&device_uuid=..%2Fdev1", 200, $videos()],
                   ["GET {$api}list_videos&device_uuid=unknown", 200, $videos()],
                   ["GET {$api}upload", 405, null, [], ['allow' => 'POST']], ["POST {$api}list_videos", 405], ["GET {$api}delete", 400]]);
    check(substr_count(file_get_contents("$work/server.log"), 'left out 10 entries') === 1, 'what an index left out is logged once');

    // Static files as nginx serves them: only what the indexes list, and ranges and conditions as its filters.
    [$a, $ten, $app] = ['/Lumipost/ADS/Public/a.mp4', '/Lumipost/ADS/Public/ten.mp4', '/Lumipost/Application'];
    $notFound = ["$app/locked.txt", "$app/%2e%2e/%2e%2e/uploads/dev1/blocked", "$app/.hidden", "$app/link/app.exe", "$app/bin",
                 "$app/bad%23name.txt", "$app/CON.txt", "$app/a%3Cb.txt", "$app/dot.", "$app/%FF.txt", '/Lumipost//Application/readme.txt',
                 '/Lumipost/./Application/readme.txt', '/Lumipost/ADS/Public/c:d.mp4', '/Lumipost/ADS/Public/folder/x.mp4',
                 '/Lumipost/ADS/Private/dev1', '/Lumipost/ADS/../../sync_api.php?action=list_apps', '/uploads/dev1/blocked', '/router.php'];
    ['etag' => $etag, 'last-modified' => $date] = request('GET', $ten);
    $old = 'Thu, 01 Jan 1970 00:00:00 GMT';
    $range = fn(array $headers, int $status, string $body = '', ?string $contentRange = null) => ["GET $ten", $status, $body, $headers,
        ['content-range' => $contentRange] + ($status < 300 ? ['etag' => $etag, 'last-modified' => $date] : [])];
    $whole = [200, '0123456789'];
    checkRequests([["GET $a", 200, $ads['Public/a.mp4'], [], ['content-length' => (string) (3 << 20), 'x-powered-by' => null]],
                   ["GET $a", 206, substr($ads['Public/a.mp4'], 1048577), ['Range: bytes=1048577-']],
                   ["HEAD $a", 206, '', ['Range: bytes=1048576-'], ['content-length' => (string) (2 << 20)]],
                   ["GET $app/sub%20dir/a%20b.txt", 200, 'spaced'], ['GET /Lumipost/ADS/Private/dev3/s.mp4', 200, 'shared 3'],
                   // Case twins are left out of the index, but neither set-up can tell them apart when serving.
                   ["GET $app/Twin.txt", 200, 'left out'], ["PUT $app/bin/app.exe", 405],
                   ['GET /Lumipost/ADS/../../../etc/passwd', 400], ["GET $app/bin%00/app.exe", 400],
                   ...array_map(fn($target) => ["GET $target", 404, ''], $notFound),
                   $range([], ...$whole), $range(['Range: bytes=2-'], 206, '23456789', 'bytes 2-9/10'),
                   $range(['Range: bytes=2-4'], 206, '234', 'bytes 2-4/10'), $range(['Range: bytes=-3'], 206, '789', 'bytes 7-9/10'),
                   $range(['Range: bytes=0-100'], 206, '0123456789', 'bytes 0-9/10'), $range(['Range: Bytes= 2 - 4'], 206, '234', 'bytes 2-4/10'),
                   $range(['Range: bytes=10-'], 416, '', 'bytes */10'), $range(['Range: bytes=5-3'], 416, '', 'bytes */10'),
                   $range(['Range: bytes=abc'], 416, '', 'bytes */10'), $range(['Range: bytes=0-1,3-4'], ...$whole),
                   $range(['Range: items=2-'], ...$whole), $range(['Range: bytes=2-', "If-Range: $etag"], 206, '23456789', 'bytes 2-9/10'),
                   $range(['Range: bytes=2-', "If-Range: $date"], 206, '23456789', 'bytes 2-9/10'),
                   $range(['Range: bytes=2-', "If-Range: W/$etag"], ...$whole), $range(['Range: bytes=2-', "If-Range: $old"], ...$whole),
                   $range(["If-None-Match: \"x\", W/$etag"], 304), $range(["If-Modified-Since: $date"], 304),
                   $range(["If-Modified-Since: $old"], ...$whole), $range(['If-None-Match: "x"'], ...$whole),
                   $range(['If-Match: "x"'], 412), $range(["If-Match: $etag"], ...$whole),
                   $range(["If-Unmodified-Since: $old"], 412), $range(["If-Unmodified-Since: $date"], ...$whole)]);

    // The hash cache: bytes changed behind the same size and time are not read again, a new time is, and
    // the row of a file that went is dropped. Rows: readme.txt's new bytes and time, whose hash is then listed.
    $time = filemtime($readme = "$data/releases/v42/readme.txt");
    $rows = [['READ ME', $time, 'read me'], ['READ ME', $time + 1, 'READ ME'], [null, 0, null], ['read me', $time + 1, 'read me']];
    foreach ($rows as [$bytes, $t, $hashOf]) {
        $bytes === null ? unlink($readme) : file_put_contents($readme, $bytes) && touch($readme, $t);
        $listed = array_column(json_decode(request('GET', "{$api}list_apps")['body'], true), 'sha256', 'relativePath');
        check(($listed['readme.txt'] ?? null) === ($hashOf ? hash('sha256', $hashOf) : null), "hash listed after writing $bytes at $t");
    }

    // Uploads. Rows: form fields, photo (bytes, MiB of zeros, or all the files), status, where it is stored
    // below uploads/, what else changes there (null: a file went; "path/": a new folder).
    $form = fn(?string $path, ?string $device = 'dev1', array $more = []) => array_filter($more + ['device_uuid' => $device,
                                                                                                   'relative_path' => $path], 'is_string');
    $extraFiles = array_fill_keys(array_map(fn($i) => "f$i", range(1, 21)), str_repeat('e', 1 << 16));
    $rows = [[$form('shots/a.jpg'), 'one', 201, 'dev1/shots/a.jpg', ['dev1/shots/.upload-old' => null]], // a stale temporary file goes, not one in flight
             [$form('shots/a.jpg'), 'one', 200, 'dev1/shots/a.jpg'], [$form('shots/a.jpg'), 'two', 201, 'dev1/shots/a-1.jpg'],
             [$form('shots/a.jpg'), 'two', 200, 'dev1/shots/a-1.jpg'], [$form('shots\\b.jpg'), 'bee', 201, 'dev1/shots/b.jpg'],
             [$form('shots/dir.jpg'), 'd', 201, 'dev1/shots/dir-1.jpg'], [$form('shots/noext'), 'y', 201, 'dev1/shots/noext-1'],
             [$form("shots/$name250"), 'z', 201, 'dev1/shots/' . str_replace('.jpg', '-1.jpg', $name250)],
             [$form('x.jpg', str_repeat('d', 255)), 'd', 201, str_repeat('d', 255) . '/x.jpg', [str_repeat('d', 255) . '/' => '']],
             ...array_map(fn($path) => [$form($path), 'bad', 400], ['../x.jpg', 'C:x.jpg', '/x.jpg', 'a/', "x\0.jpg", '.upload-x',
                                                                   "\xff.jpg", str_repeat('n', 247) . '.jpg', str_repeat('f', 256) . '/x.jpg']),
             ...array_map(fn($device) => [$form('x.jpg', $device), 'bad', 400], ['..', 'dev1/sub', '', "d\xe9v"]),
             [$form(null), 'p', 400], [$form('x.jpg', null), 'p', 400], [$form('x.jpg'), [], 400],
             [$form('x.jpg', 'dev1', ['MAX_FILE_SIZE' => '1']), 'too big', 413], [$form('x.jpg'), 513, 413],
             [$form('x.jpg'), ['photo' => 'p'] + $extraFiles, 400], // PHP drops what is past max_file_uploads with a mere warning
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
    // Each device's folder is its own lock: another kiosk's upload does not wait for it, the same kiosk's does.
    flock($lock = fopen("$data/uploads/dev1", 'r'), LOCK_EX);
    check(upload($form('l.jpg', 'dev2'), ['photo' => 'l'], 10)['status'] === 201
          && upload($form('l.jpg'), ['photo' => 'l'], 1)['status'] === 0, "a device's lock holds its uploads only");
    fclose($lock);
    put("$data/uploads/dev4", array_fill_keys(['c.jpg', ...array_map(fn($i) => "c-$i.jpg", range(1, 9999))], 'c'));
    check(upload($form('c.jpg', 'dev4'), ['photo' => 'other'])['status'] === 500, 'past 9,999 clashes no name is left');

    // The fleet page: closed without the token, open with it as a header or the login's cookie.
    $urlencoded = 'Content-Type: application/x-www-form-urlencoded';
    $login = request('POST', '/fleet/', [$urlencoded], ['token=the-token']);
    $cookie = preg_match('/^(lumipost_fleet=\w+); path=\/; httponly; samesite=strict$/i', $login['set-cookie'] ?? '', $m) ? $m[1] : '';
    check($login['status'] === 303 && $cookie !== '', 'a login sets an HttpOnly, SameSite=Strict cookie');
    checkRequests([['GET /fleet/', 401], ['GET /fleet.json', 401, null, ['Authorization: Bearer wrong']],
                   ['GET /fleet/', 401, null, ['Cookie: lumipost_fleet=the-token']], ['GET /fleet/', 200, null, ["Cookie: $cookie"]],
                   ['GET /fleet.json', 200, null, ['Authorization: Bearer the-token']], ['POST /fleet/', 401, null, [$urlencoded], [], 'token=wrong']]);
});

// A data folder without its trees is a wrong one, not an empty one (an empty index would wipe the kiosks);
// a failed index is contact all the same.
mkdir("$work/empty");
withServer("$work/empty", $settings, function () use ($work, $api) {
    checkRequests([["GET {$api}list_apps", 500], ["GET {$api}list_videos&device_uuid=kiosk-lost", 500], ['PHOTO dev1 x.jpg', 500]]);
    $events = request('GET', '/fleet/?device=kiosk-lost', ['Authorization: Bearer the-token'])['body'];
    check(!file_exists("$work/empty/uploads") && str_contains($events, '<td>index failed</td>'), 'nothing stored, the failed index recorded');
});
// A state database that fails costs the hashes and the fleet's records, each loss logged, never an answer;
// without a token the fleet page is closed.
withServer($data, ['LUMIPOST_SERVER_DSN' => "sqlite:$work/missing/state.sqlite"], fn() => checkRequests([
    ["GET {$api}list_apps", 200, $appIndex(false)], ["GET {$api}list_videos&device_uuid=dev1", 200],
    ['GET /Lumipost/ADS/Private/dev1/p.mp4', 200, 'private 1'], ['PHOTO dev1 z.jpg', 201], ['GET /fleet.json', 403]]));
$log = file_get_contents("$work/server.log");
check(str_contains($log, 'the state database failed') && substr_count($log, 'lumipost fleet: cannot record') === 3, 'each loss logged');
// Started by hand without the settings of common.php, the server refuses everything rather than risk a 200.
withServer($data, [], fn() => checkRequests([["GET {$api}list_apps", 500]]), fn($address) => [PHP_BINARY, '-n', '-S', $address, $router]);
exit($failed === 0 ? 0 : 1);
