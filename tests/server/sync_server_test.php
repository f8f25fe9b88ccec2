<?php
// Starts server/router.php as shipped (`php router.php HOST:PORT`, with -n when this runs with -n) on a
// free loopback port against a temporary data folder, and checks tables of requests: the answer, and
// for uploads what is on disk afterwards. --postgres runs it all against a scratch PostgreSQL, the
// fleet with two servers sharing it (exit 77, skipped, where PostgreSQL cannot start).
// Usage: php [-n] sync_server_test.php path/to/server/router.php [--postgres]
declare(strict_types=1);

$failed = 0;
function check(bool $ok, string $what): void
{
    global $failed;
    if (!$ok) {
        ++$failed;
        fwrite(STDERR, "FAIL: $what\n");
    }
}

function freePort(): int
{
    $socket = stream_socket_server('tcp://127.0.0.1:0');
    $port = (int) explode(':', stream_socket_get_name($socket, false))[1];
    fclose($socket);
    return $port;
}

// Runs $then against a server on $data started with the settings $env, and stops it. As root the
// server runs without the capabilities that let root read any file, as nginx's www-data would.
function withServer(string $data, array $env, callable $then, ?callable $command = null): void
{
    global $router, $port, $work;
    $port = freePort();
    $command ??= fn($address) => [PHP_BINARY, ...(php_ini_loaded_file() === false ? ['-n'] : []), $router, $address];
    $root = AS_ROOT ? ['setpriv', '--bounding-set=-dac_override,-dac_read_search'] : [];
    $log = ['file', "$work/server.log", 'a'];
    $server = proc_open([...$root, ...$command("127.0.0.1:$port")], [['file', '/dev/null', 'r'], $log, $log], $pipes,
                        $work, $env + ['LUMIPOST_SERVER_DATA' => $data] + getenv());
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
    $length = array_sum(array_map(fn($chunk) => is_int($chunk) ? $chunk << 20 : strlen($chunk), $body));
    fwrite($socket, "$method $target HTTP/1.0\r\nContent-Length: $length\r\n" . implode('', array_map(fn($h) => "$h\r\n", $headers)) . "\r\n");
    foreach ($body as $chunk) {
        foreach (is_int($chunk) ? array_fill(0, $chunk, str_repeat("\0", 1 << 20)) : [$chunk] as $block) {
            if (@fwrite($socket, $block) === false) {
                break 2; // the server answered early
            }
        }
    }
    [$head, $answer['body']] = explode("\r\n\r\n", (string) stream_get_contents($socket), 2) + ['', ''];
    $answer['status'] = (int) substr($head, 9, 3);
    preg_match_all('/^([\w-]+): *(.*?)\r?$/m', $head, $fields, PREG_SET_ORDER);
    foreach ($fields as [, $name, $value]) {
        $answer[strtolower($name)] = $value;
    }
    return $answer;
}

// A multipart upload of $fields, then $files (field => bytes, or an int for that many MiB of zeros).
function upload(array $fields, array $files, int $timeout = 60): array
{
    $part = fn($name, $file = '') => "--b0undary\r\nContent-Disposition: form-data; name=\"$name\"$file\r\n\r\n";
    $body = [];
    foreach ($fields as $name => $value) {
        array_push($body, $part($name), $value, "\r\n");
    }
    foreach ($files as $name => $bytes) {
        array_push($body, $part($name, '; filename="p.jpg"'), $bytes, "\r\n");
    }
    return request('POST', '/sync_api.php?action=upload', ['Content-Type: multipart/form-data; boundary=b0undary'],
                   [...$body, "--b0undary--\r\n"], $timeout);
}

// Rows: "METHOD target", status, body wanted (null: any), request headers, answer headers wanted
// (null: absent), request body.
function checkRequests(array $rows): void
{
    foreach ($rows as $row) {
        [$request, $status, $body, $headers, $wanted, $sent] = $row + [2 => null, 3 => [], 4 => [], 5 => ''];
        $answer = request(...explode(' ', $request, 2), headers: $headers, body: [$sent]);
        $ok = $answer['status'] === $status && ($body === null || $answer['body'] === $body);
        foreach ($wanted as $name => $value) {
            $ok = $ok && ($answer[$name] ?? null) === $value;
        }
        check($ok, "$request " . implode(', ', $headers) . " gives $status: {$answer['status']} " . substr($answer['body'], 0, 300));
    }
}

// What is below uploads/ and in a folder beside the data folder: path => bytes, folders as "path/".
function disk(): array
{
    global $work;
    $found = [];
    foreach (["$work/data/uploads", "$work/outside"] as $top) {
        $items = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($top, FilesystemIterator::SKIP_DOTS),
                                               RecursiveIteratorIterator::SELF_FIRST);
        foreach ($items as $path => $item) {
            $isDir = $item->isDir() && !$item->isLink();
            $found[substr($path, strlen($work) + 1) . ($isDir ? '/' : '')] = $item->isFile() && !$item->isLink() ? file_get_contents($path) : '';
        }
    }
    ksort($found);
    return $found;
}

// A file, or a folder for a path ending in "/".
function put(string $path, string $bytes): void
{
    @mkdir(dirname($path), 0777, true);
    str_ends_with($path, '/') ? mkdir($path) : file_put_contents($path, $bytes);
}

// One kiosk request as the agent makes it; gives the status.
function kiosk(string $device, string $what, string $argument = ''): int
{
    return (match ($what) {
        'index' => request('GET', '/sync_api.php?action=list_videos&device_uuid=' . rawurlencode($device)),
        'video' => request('GET', "/Lumipost/ADS/Private/$device/$argument"),
        'photo' => upload(['device_uuid' => $device, 'relative_path' => $argument], ['photo' => "photo $argument"]),
    })['status'];
}

function fleet(string $query = ''): array
{
    return json_decode(request('GET', "/fleet.json$query", ['Authorization: Bearer the-token'])['body'], true) ?? [];
}

// A scratch PostgreSQL on a free loopback port (run as nobody when this runs as root); gives its DSN.
function startPostgres(string $dir): string
{
    global $postgres;
    $bin = glob('/usr/lib/postgresql/*/bin')[0] ?? null;
    if ($bin === null || !extension_loaded('pdo_pgsql')) {
        echo "SKIP: PostgreSQL needs the Debian packages postgresql and php-pgsql\n";
        exit(77);
    }
    mkdir($dir);
    chmod($dir, 0777);
    $as = AS_ROOT ? 'setpriv --reuid=nobody --regid=nogroup --clear-groups ' : '';
    $port = freePort();
    $postgres = "$as$bin/pg_ctl -D $dir/data -l $dir/server.log";
    exec("$as$bin/initdb -D $dir/data -U lumipost --auth=trust >$dir/initdb.log 2>&1 && $postgres -w -o "
         . "'-c listen_addresses=127.0.0.1 -p $port -k $dir' start >/dev/null 2>&1", result_code: $status);
    if ($status !== 0) {
        echo "SKIP: PostgreSQL did not start:\n" . implode('', array_map('file_get_contents', glob("$dir/*.log")));
        exit(77);
    }
    return "pgsql:host=127.0.0.1;port=$port;dbname=postgres;user=lumipost";
}

$router = realpath($argv[1] ?? '') ?: throw new InvalidArgumentException('usage: php [-n] sync_server_test.php router.php [--postgres]');
define('AS_ROOT', trim((string) shell_exec('id -u')) === '0');
$work = sys_get_temp_dir() . '/lumipost-server-test-' . bin2hex(random_bytes(6));
$data = "$work/data";
mkdir($work);
register_shutdown_function(function () use ($work) {
    global $failed, $postgres;
    isset($postgres) && exec("$postgres -m fast stop >/dev/null 2>&1");
    $failed && fwrite(STDERR, "Server log:\n" . implode('', array_slice(preg_grep('/ (Accepted|Closing|Closed without)/', file("$work/server.log"), PREG_GREP_INVERT), -40)));
    exec('rm -rf ' . escapeshellarg($work));
});
$settings = ['LUMIPOST_FLEET_TOKEN' => 'the-token'] + (in_array('--postgres', $argv, true) ? ['LUMIPOST_SERVER_DSN' => startPostgres("$work/postgres")] : []);

// A scripted fleet first, while the database holds nothing else: each step restarts the server with
// its clock set, taking turns over the data folders (with PostgreSQL two, each seeing the other's kiosks).
$folders = isset($settings['LUMIPOST_SERVER_DSN']) ? ["$work/a", "$work/b"] : ["$work/a"];
foreach ($folders as $folder) {
    put("$folder/Lumipost/ADS/Public/public.mp4", str_repeat('p', 10));
    put("$folder/Lumipost/ADS/Private/kiosk-busy/own.mp4", str_repeat('o', 20));
    put("$folder/uploads/", '');
}
$now = gmmktime(1, 30, 0, 12, 7, 2026);
// Minutes before the page is read, the kiosk, its requests with the status each must get.
$steps = [[200, '<i>quiet', [['index', '', 200], ['photo', 'a.jpg', 201]]], [150, 'kiosk-busy', [['photo', 'y.jpg', 201]]],
          [50, 'kiosk-busy', [['index', '', 200], ['photo', 'b.jpg', 201], ['photo', "../\xff\0.jpg", 400],
                              ['video', 'own.mp4', 200], ['video', 'gone.mp4', 404], ['photo', 'b.jpg', 200]]]];
foreach ($steps as $i => [$minutes, $device, $requests]) {
    withServer($folders[$i % count($folders)], ['LUMIPOST_SERVER_NOW' => (string) ($now - 60 * $minutes)] + $settings,
        fn() => array_map(fn($r) => check(kiosk($device, ...$r) === $r[2], "$device: $r[0] $r[1] gives $r[2]"), $requests));
}
withServer(end($folders), ['LUMIPOST_SERVER_NOW' => (string) $now] + $settings, function () {
    // Silent first (<i>quiet yesterday at 22:10), then by name; kiosk-busy's first photo was yesterday.
    $shown = fn($k) => [$k['device'], $k['silent'], $k['video_index']['videos'] ?? null, $k['video_index']['bytes'] ?? null,
                        ...array_values($k['private_videos_fetched']), $k['photos']['today'], $k['photos']['total'], $k['photos']['refused']];
    $fleet = fleet();
    check(array_map($shown, $fleet['kiosks'] ?? []) === [['<i>quiet', true, 1, 10, 0, 0, 0, 1, 0], ['kiosk-busy', false, 2, 30, 1, 1, 1, 2, 1]]
          && $fleet['summary'] === ['kiosks' => 2, 'alive_last_hour' => 1, 'silent' => 1], 'the fleet: ' . json_encode($fleet));
    check(array_column(fleet('?device=kiosk-busy')['kiosks'][0]['events'] ?? [], 'kind') === ['photo stored',
          'private video fetched', 'photo refused', 'photo stored', 'index fetched', 'photo stored'], 'the events, newest first');
    check(array_column(fleet('?silent=1')['kiosks'] ?? [], 'device') === ['<i>quiet'], 'only the silent');
    $page = request('GET', '/fleet/', ['Authorization: Bearer the-token'])['body'];
    check(str_contains($page, '&lt;i&gt;quiet') && !str_contains($page, '<i>'), "a kiosk's name is escaped");
});

// The data folder: the application tree is reached through a symlink, as an atomic switch of releases leaves it.
$app = ['bin/' => '', 'bin/app.exe' => 'app', 'empty/' => '', 'readme.txt' => 'read me', 'sub dir/' => '', 'sub dir/a b.txt' => 'spaced'];
$leftOut = ['bad#name.txt', 'locked.txt', 'CON.txt', 'a<b.txt', 'dot.', "\xff.txt", 'Twin.txt', 'twin.txt', 'é.txt', 'É.txt'];
foreach ($app + array_fill_keys([...$leftOut, '.hidden'], 'left out') as $name => $bytes) {
    put("$data/releases/v42/$name", $bytes);
}
$ads = ['Public/a.mp4' => random_bytes(3 << 20), 'Public/ten.mp4' => '0123456789', 'Private/dev1/p.mp4' => 'private 1',
        'Private/dev2/q.mp4' => 'private 2', 'shared/s.mp4' => 'shared 3'];
$notServed = array_map(fn($name) => "Public/$name", ['.part.mp4', 'c:d.mp4', 'e\\f.mp4', "g\nh.mp4", 'folder/x.mp4']);
foreach ($ads + array_fill_keys($notServed, 'not served') as $name => $bytes) {
    put("$data/Lumipost/ADS/$name", $bytes);
}
$name250 = str_repeat('n', 246) . '.jpg';
$uploads = ['blocked' => 'a file', 'shots/noext' => 'x', "shots/$name250" => 'x', 'shots/dir.jpg/' => '',
            'shots/.upload-new' => 'in flight', 'shots/.upload-old' => 'stale'];
foreach ($uploads as $name => $bytes) {
    put("$data/uploads/dev1/$name", $bytes);
}
touch("$data/uploads/dev1/shots/.upload-old", time() - 7200);
mkdir("$work/outside");
chmod("$data/releases/v42/locked.txt", 0);
$links = ['Lumipost/Application' => '../releases/v42', 'releases/v42/link' => 'bin', 'Lumipost/ADS/Private/dev3' => '../shared',
          'uploads/dev1/linked' => "$work/outside"];
foreach ($links as $link => $target) {
    symlink($target, "$data/$link");
}

$appIndex = fn(bool $hashed) => json_encode(array_map(fn($path, $bytes) => str_ends_with($path, '/')
    ? ['relativePath' => rtrim($path, '/'), 'size' => 0, 'isDir' => true]
    : ['relativePath' => $path, 'size' => strlen($bytes), 'isDir' => false] + ($hashed ? ['sha256' => hash('sha256', $bytes)] : []),
    array_keys($app), $app), JSON_UNESCAPED_SLASHES);
$videos = fn(string ...$names) => json_encode(array_map(fn($name) => ['type' => str_starts_with($name, 'Public/') ? 'public' : 'private',
    'filename' => basename($name), 'size' => strlen($ads[$name]), 'sha256' => hash('sha256', $ads[$name])],
    ['Public/a.mp4', 'Public/ten.mp4', ...$names]), JSON_UNESCAPED_SLASHES);
$api = '/sync_api.php?action=';
withServer($data, $settings, function () use ($data, $work, $app, $ads, $appIndex, $videos, $api, $name250) {
    // The indexes leave out hidden, unreachable, Windows-invalid, case twin, unreadable and linked entries.
    checkRequests([["GET {$api}list_apps", 200, $appIndex(true), [], ['content-type' => 'application/json',
                                                                      'content-length' => (string) strlen($appIndex(true))]],
                   ["GET {$api}list_videos&device_uuid=dev1", 200, $videos('Private/dev1/p.mp4'), [], ['x-powered-by' => null]],
                   ["GET {$api}list_videos&device_uuid=dev3", 200, $videos('shared/s.mp4')],
                   ["GET {$api}list_videos&device_uuid=..%2Fdev1", 200, $videos()], ["GET {$api}list_videos&device_uuid=unknown", 200, $videos()],
                   ["GET {$api}upload", 405, null, [], ['allow' => 'POST']], ["POST {$api}list_videos", 405], ["GET {$api}delete", 400]]);
    check(substr_count(file_get_contents("$work/server.log"), 'left out 10 entries') === 1, 'what an index left out is logged once');

    // Static files as nginx serves them: only what the indexes list, and ranges and conditions as its filters.
    $a = '/Lumipost/ADS/Public/a.mp4';
    $app = '/Lumipost/Application';
    $notFound = ["$app/locked.txt", "$app/%2e%2e/%2e%2e/uploads/dev1/blocked", "$app/.hidden", "$app/link/app.exe", "$app/bin",
                 "$app/bad%23name.txt", "$app/CON.txt", "$app/a%3Cb.txt", "$app/dot.", "$app/%FF.txt", '/Lumipost//Application/readme.txt',
                 '/Lumipost/./Application/readme.txt', '/Lumipost/ADS/Public/c:d.mp4', '/Lumipost/ADS/Public/folder/x.mp4',
                 '/Lumipost/ADS/Private/dev1', '/Lumipost/ADS/../../sync_api.php?action=list_apps', '/uploads/dev1/blocked', '/router.php'];
    $ten = '/Lumipost/ADS/Public/ten.mp4';
    ['etag' => $etag, 'last-modified' => $date] = request('GET', $ten);
    $old = 'Thu, 01 Jan 1970 00:00:00 GMT';
    $range = fn(array $headers, int $status, string $body = '', ?string $range = null) => ["GET $ten", $status, $body, $headers,
        ['content-range' => $range] + ($status < 300 ? ['etag' => $etag, 'last-modified' => $date] : [])];
    $whole = [200, '0123456789'];
    checkRequests([["GET $a", 200, $ads['Public/a.mp4'], [], ['content-length' => (string) (3 << 20), 'x-powered-by' => null]],
                   ["HEAD $a", 200, '', [], ['content-length' => (string) (3 << 20)]],
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

    // The hash cache: bytes changed behind the same size and time are not read again, a new time is,
    // and the row of a file that went is dropped. Rows: readme.txt's new bytes and time, whose hash is listed.
    $readme = "$data/releases/v42/readme.txt";
    $time = filemtime($readme);
    foreach ([['READ ME', $time, 'read me'], ['READ ME', $time + 1, 'READ ME'], [null, 0, null], ['read me', $time + 1, 'read me']] as [$bytes, $t, $hashOf]) {
        $bytes === null ? unlink($readme) : file_put_contents($readme, $bytes) && touch($readme, $t);
        $listed = array_column(json_decode(request('GET', "{$api}list_apps")['body'], true), 'sha256', 'relativePath');
        check(($listed['readme.txt'] ?? null) === ($hashOf === null ? null : hash('sha256', $hashOf)), "hash listed after writing $bytes at $t");
    }

    // Uploads. Rows: form fields, photo (bytes, MiB of zeros, or all the files), status, where it is
    // stored below uploads/, what else changes on disk (null: a file went).
    $form = fn(?string $path, ?string $device = 'dev1', array $more = []) => array_filter($more + ['device_uuid' => $device,
                                                                                                   'relative_path' => $path], 'is_string');
    $fields = array_map(fn($i) => "f$i", range(1, 21)); // past max_file_uploads, which PHP drops with a mere warning
    $rows = [[$form('shots/a.jpg'), 'one', 201, 'dev1/shots/a.jpg', ['dev1/shots/.upload-old' => null]], // a stale temporary file goes
             [$form('shots/a.jpg'), 'one', 200, 'dev1/shots/a.jpg'], [$form('shots/a.jpg'), 'two', 201, 'dev1/shots/a-1.jpg'],
             [$form('shots/a.jpg'), 'two', 200, 'dev1/shots/a-1.jpg'], [$form('shots\\b.jpg'), 'bee', 201, 'dev1/shots/b.jpg'],
             [$form('shots/dir.jpg'), 'd', 201, 'dev1/shots/dir-1.jpg'], [$form('shots/noext'), 'y', 201, 'dev1/shots/noext-1'],
             [$form("shots/$name250"), 'z', 201, 'dev1/shots/' . str_replace('.jpg', '-1.jpg', $name250)],
             [$form('x.jpg', str_repeat('d', 255)), 'd', 201, str_repeat('d', 255) . '/x.jpg'],
             ...array_map(fn($path) => [$form($path), 'bad', 400], ['../x.jpg', 'C:x.jpg', '/x.jpg', 'a/', "x\0.jpg", '.upload-x',
                                                                   "\xff.jpg", str_repeat('n', 247) . '.jpg', str_repeat('f', 256) . '/x.jpg']),
             ...array_map(fn($device) => [$form('x.jpg', $device), 'bad', 400], ['..', 'dev1/sub', '', "d\xe9v"]),
             [$form(null), 'p', 400], [$form('x.jpg', null), 'p', 400], [$form('x.jpg'), [], 400],
             [$form('x.jpg', 'dev1', ['MAX_FILE_SIZE' => '1']), 'too big', 413], [$form('x.jpg'), 513, 413],
             [$form('x.jpg'), ['photo' => 'p'] + array_fill_keys($fields, str_repeat('e', 1 << 16)), 400],
             [$form('blocked/x.jpg'), 'p', 500], [$form('linked/new/x.jpg'), 'p', 500]];
    foreach ($rows as $row) {
        [$fields, $photo, $status, $stored, $changes] = $row + [3 => null, 4 => []];
        $expected = disk();
        $answer = upload($fields, is_array($photo) ? $photo : ['photo' => $photo]);
        $json = json_decode($answer['body'], true);
        $receipt = is_string($photo) ? hash('sha256', $photo) : null;
        $ok = $answer['status'] === $status && ($status >= 300 || $json['stored'] === $stored && $json['sha256'] === $receipt
                                                && ($answer['x-content-sha256'] ?? null) === $receipt);
        foreach (($status === 201 ? [$stored => $photo] : []) + $changes as $path => $bytes) {
            for ($dir = dirname("data/uploads/$path"); $dir !== 'data/uploads'; $dir = dirname($dir)) {
                $expected["$dir/"] = '';
            }
            $expected["data/uploads/$path"] = $bytes;
        }
        $expected = array_filter($expected, 'is_string');
        ksort($expected);
        check($ok && disk() === $expected, 'upload ' . json_encode(array_map(fn($v) => substr($v, 0, 20), $fields), JSON_INVALID_UTF8_SUBSTITUTE)
              . " gives $status, stored $stored: {$answer['status']} {$answer['body']}, on disk "
              . json_encode(array_keys(array_diff_key(disk(), $expected) + array_diff_key($expected, disk()))));
    }
    // Each device's folder is its own lock: another kiosk's upload does not wait for it, the same kiosk's does.
    $lock = fopen("$data/uploads/dev1", 'r');
    flock($lock, LOCK_EX);
    check(upload($form('l.jpg', 'dev2'), ['photo' => 'l'], 10)['status'] === 201
          && upload($form('l.jpg'), ['photo' => 'l'], 1)['status'] === 0, "a device's lock holds its uploads only");
    fclose($lock);
    foreach (['c.jpg', ...array_map(fn($i) => "c-$i.jpg", range(1, 9999))] as $name) {
        put("$data/uploads/dev4/$name", 'c');
    }
    check(upload($form('c.jpg', 'dev4'), ['photo' => 'other'])['status'] === 500, 'past 9,999 clashes no name is left');

    // The fleet page: closed without the token, open with it as a header or the login's cookie.
    $login = request('POST', '/fleet/', ['Content-Type: application/x-www-form-urlencoded'], ['token=the-token']);
    check($login['status'] === 303 && preg_match('/^(lumipost_fleet=\w+); path=\/; httponly; samesite=strict$/i',
                                                  $login['set-cookie'] ?? '', $cookie) === 1, 'a login sets an HttpOnly, SameSite=Strict cookie');
    checkRequests([['GET /fleet/', 401], ['GET /fleet.json', 401, null, ['Authorization: Bearer wrong']],
                   ['GET /fleet/', 401, null, ['Cookie: lumipost_fleet=the-token']], ['GET /fleet.json', 200, null, ['Authorization: Bearer the-token']],
                   ['GET /fleet/', 200, null, ['Cookie: ' . ($cookie[1] ?? '')]],
                   ['POST /fleet/', 401, null, ['Content-Type: application/x-www-form-urlencoded'], [], 'token=wrong']]);
});

// A data folder without its trees is a wrong one, not an empty one (an empty index would wipe the kiosks),
// and a failed index is contact all the same.
mkdir("$work/empty");
withServer("$work/empty", $settings, function () use ($work, $api) {
    checkRequests([["GET {$api}list_apps", 500], ["GET {$api}list_videos&device_uuid=kiosk-lost", 500]]);
    check(upload(['device_uuid' => 'dev1', 'relative_path' => 'x.jpg'], ['photo' => 'p'])['status'] === 500
          && !file_exists("$work/empty/uploads"), 'without uploads/ nothing is stored');
    check(array_column(fleet('?device=kiosk-lost')['kiosks'][0]['events'] ?? [], 'kind') === ['index failed'], 'a failed index');
});
// A state database that fails costs the hashes and the fleet's records, each loss logged, never an answer;
// without a token the fleet page is closed.
withServer($data, ['LUMIPOST_SERVER_DSN' => "sqlite:$work/missing/state.sqlite"], function () use ($appIndex, $api) {
    checkRequests([["GET {$api}list_apps", 200, $appIndex(false)], ["GET {$api}list_videos&device_uuid=dev1", 200],
                   ['GET /Lumipost/ADS/Private/dev1/p.mp4', 200, 'private 1'], ['GET /fleet/', 403], ['GET /fleet.json', 403]]);
    check(upload(['device_uuid' => 'dev1', 'relative_path' => 'shots/a.jpg'], ['photo' => 'one'])['status'] === 200, 'an upload');
});
$log = file_get_contents("$work/server.log");
check(str_contains($log, 'the state database failed') && substr_count($log, 'lumipost fleet: cannot record') === 3, 'each loss logged');
// Started by hand without the settings of common.php, the server refuses everything rather than risk a 200.
withServer($data, [], fn() => checkRequests([["GET {$api}list_apps", 500]]), fn($address) => [PHP_BINARY, '-n', '-S', $address, $router]);
echo $failed === 0 ? "passed\n" : "$failed failed\n";
exit($failed === 0 ? 0 : 1);
