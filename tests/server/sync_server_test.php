<?php
// Starts server/router.php as shipped (`php router.php HOST:PORT`, with -n when this test runs with -n)
// on a free loopback port against a temporary data folder, and checks the answers and what ends up on
// disk, table by table. Usage: php [-n] sync_server_test.php path/to/server/router.php [--state]
declare(strict_types=1);

$passed = 0;
$failed = 0;

function check(bool $ok, string $what): void
{
    global $passed, $failed;
    $ok ? ++$passed : ++$failed;
    if (!$ok) {
        fwrite(STDERR, "FAIL: $what\n");
    }
}

function freePort(): int
{
    $socket = stream_socket_server('tcp://127.0.0.1:0');
    $port = (int) substr(strrchr(stream_socket_get_name($socket, false), ':'), 1);
    fclose($socket);
    return $port;
}

// $command(address) gives the command line. As root the server runs without the capabilities that
// let root read any file, so a file's mode counts as it does for nginx's and php-fpm's www-data.
function startServer(callable $command, string $work, string $data, string $log, array $env = []): array
{
    $env += ['LUMIPOST_SERVER_DATA' => $data] + getenv();
    $asRoot = preg_match('/^Uid:\s+0\s/m', (string) file_get_contents('/proc/self/status'));
    for ($attempt = 0; $attempt < 5; ++$attempt) {
        $port = freePort();
        $line = $command("127.0.0.1:$port");
        $line = $asRoot ? ['setpriv', '--bounding-set=-dac_override,-dac_read_search', ...$line] : $line;
        $process = proc_open($line, [['file', '/dev/null', 'r'], ['file', $log, 'a'], ['file', $log, 'a']],
                             $pipes, $work, $env);
        $deadline = microtime(true) + 30;
        while (microtime(true) < $deadline && proc_get_status($process)['running']) {
            $probe = @fsockopen('127.0.0.1', $port, $errno, $error, 1);
            if ($probe !== false) {
                fclose($probe);
                return [$process, $port];
            }
            usleep(100000);
        }
        proc_terminate($process);
        proc_close($process);
    }
    throw new RuntimeException('php -S did not start');
}

function stopServer($process): void
{
    proc_terminate($process);
    proc_close($process);
}

// One HTTP/1.0 exchange; $body is an iterable of chunks, $length their total.
function exchange(string $method, string $target, iterable $body, int $length, array $headers, int $timeout): array
{
    global $port;
    $socket = fsockopen('127.0.0.1', $port, $errno, $error, 10);
    stream_set_timeout($socket, $timeout);
    $head = "$method $target HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: $length\r\n";
    fwrite($socket, $head . implode('', array_map(fn($h) => "$h\r\n", $headers)) . "\r\n");
    foreach ($body as $chunk) {
        for ($sent = 0; $sent < strlen($chunk); $sent += $written) {
            if (!($written = fwrite($socket, substr($chunk, $sent)))) {
                break 2;
            }
        }
    }
    $response = stream_get_contents($socket);
    fclose($socket);
    [$rawHead, $responseBody] = explode("\r\n\r\n", $response, 2) + ['', ''];
    preg_match('#^HTTP/\S+ (\d{3})#', $rawHead, $status);
    preg_match_all('/^([\w-]+): *(.*?)\r?$/m', $rawHead, $fields, PREG_SET_ORDER);
    $answer = ['status' => (int) ($status[1] ?? 0), 'body' => $responseBody];
    foreach ($fields as [, $name, $value]) {
        $answer[strtolower($name)] = $value;
    }
    return $answer;
}

function request(string $method, string $target, string $body = '', array $headers = [], int $timeout = 60): array
{
    return exchange($method, $target, [$body], strlen($body), $headers, $timeout);
}

// A multipart upload; $photo is the photo's bytes, or [size] for that many zero bytes sent as they go.
function upload(array $fields, string|array|null $photo, array $files = [], int $timeout = 60): array
{
    $boundary = 'lumipost' . bin2hex(random_bytes(8));
    $head = '';
    foreach ($fields as $name => $value) {
        $head .= "--$boundary\r\nContent-Disposition: form-data; name=\"$name\"\r\n\r\n$value\r\n";
    }
    $filePart = fn($name) => "--$boundary\r\nContent-Type: application/octet-stream\r\n"
                           . "Content-Disposition: form-data; name=\"$name\"; filename=\"p.jpg\"\r\n\r\n";
    $size = is_array($photo) ? $photo[0] : strlen($photo ?? '');
    $head .= $photo === null ? '' : $filePart('photo') . (is_array($photo) ? '' : $photo);
    $tail = ($photo === null ? '' : "\r\n");
    foreach ($files as $name => $bytes) {
        $tail .= $filePart($name) . "$bytes\r\n";
    }
    $tail .= "--$boundary--\r\n";
    $chunks = function () use ($head, $photo, $tail) {
        yield $head;
        for ($left = is_array($photo) ? $photo[0] : 0; $left > 0; $left -= 1 << 20) {
            yield str_repeat("\0", min($left, 1 << 20));
        }
        yield $tail;
    };
    return exchange('POST', '/sync_api.php?action=upload', $chunks(),
                    strlen($head) + (is_array($photo) ? $size : 0) + strlen($tail),
                    ["Content-Type: multipart/form-data; boundary=$boundary"], $timeout);
}

// The status; a 2xx must carry the SHA-256 of the bytes stored, in the header and the JSON body.
function uploadPhoto(string $relativePath, string $bytes, string $device = 'dev1'): int
{
    $answer = upload(['relative_path' => $relativePath, 'device_uuid' => $device], $bytes);
    $hash = hash('sha256', $bytes);
    check($answer['status'] >= 300 || ($answer['x-content-sha256'] ?? '') === $hash
          && (json_decode($answer['body'], true)['sha256'] ?? '') === $hash, "receipt of $relativePath: {$answer['body']}");
    return $answer['status'];
}

// Relative path => contents of every file below $dir, hidden ones included, but for the server's state
// database (which records refused requests too).
function filesBelow(string $dir): array
{
    $files = [];
    $items = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($dir, FilesystemIterator::SKIP_DOTS));
    foreach ($items as $path => $item) {
        if ($item->isFile() && !$item->isLink() && !str_contains($path, "/.lumipost/")) {
            $files[substr($path, strlen($dir) + 1)] = $item->isReadable() ? file_get_contents($path) : null;
        }
    }
    ksort($files);
    return $files;
}

function removeTree(string $dir): void
{
    $items = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($dir, FilesystemIterator::SKIP_DOTS),
                                           RecursiveIteratorIterator::CHILD_FIRST);
    foreach ($items as $path => $item) {
        $item->isDir() && !$item->isLink() ? rmdir($path) : unlink($path);
    }
    rmdir($dir);
}

function put(string $path, string $bytes = ''): void
{
    @mkdir(dirname($path), 0777, true);
    file_put_contents($path, $bytes);
}

function writeFixture(string $data): void
{
    // The application tree is reached through a symlink, as an atomic switch of releases leaves it.
    $app = "$data/releases/v42";
    put("$app/bin/app.exe", 'app');
    put("$app/readme.txt", 'read me');
    put("$app/sub dir/a b.txt", 'spaced');
    put("$app/.git/config", 'hidden');
    put("$app/.hidden", 'hidden');
    put("$app/bad#name.txt", 'unreachable by URL');
    put("$app/locked.txt", 'unreadable');
    chmod("$app/locked.txt", 0);
    foreach (['CON.txt', 'aux', 'a<b.txt', 'q"uote.txt', 'star*.txt', 'pipe|.txt', 'dot.', 'space ', "\xff.txt",
              'Twin.txt', 'twin.txt', 'é.txt', 'É.txt'] as $name) {
        put("$app/$name", 'a name Windows cannot create');
    }
    mkdir("$app/empty");
    symlink("$app/bin", "$app/link");
    mkdir("$data/Lumipost");
    symlink('../releases/v42', "$data/Lumipost/Application");
    put("$data/Lumipost/ADS/Public/a.mp4", random_bytes(3 << 20));
    put("$data/Lumipost/ADS/Public/ten.mp4", '0123456789');
    put("$data/Lumipost/ADS/Public/.part.mp4");
    foreach (['c:d.mp4', 'e\\f.mp4', "g\nh.mp4", 'folder/x.mp4'] as $name) {
        put("$data/Lumipost/ADS/Public/$name", 'not served');
    }
    put("$data/Lumipost/ADS/Private/dev1/p.mp4", 'private 1');
    put("$data/Lumipost/ADS/Private/dev2/q.mp4", 'private 2');
    put("$data/Lumipost/ADS/shared/s.mp4", 'shared 3');
    symlink('../shared', "$data/Lumipost/ADS/Private/dev3");
    put("$data/uploads/dev1/blocked", 'a file where a folder is asked for');
    mkdir("$data/uploads/dev1/shots/dir.jpg", 0777, true);
    mkdir(dirname($data) . '/outside');
    symlink(dirname($data) . '/outside', "$data/uploads/dev5");
    symlink(dirname($data) . '/outside', "$data/uploads/dev1/linked");
}

// The application index of the fixture; $hashed false for one served without hashes.
function appIndex(bool $hashed = true): array
{
    $file = fn(string $path, string $bytes) => ['relativePath' => $path, 'size' => strlen($bytes), 'isDir' => false]
                                               + ($hashed ? ['sha256' => hash('sha256', $bytes)] : []);
    return [['relativePath' => 'bin', 'size' => 0, 'isDir' => true], $file('bin/app.exe', 'app'),
            ['relativePath' => 'empty', 'size' => 0, 'isDir' => true], $file('readme.txt', 'read me'),
            ['relativePath' => 'sub dir', 'size' => 0, 'isDir' => true], $file('sub dir/a b.txt', 'spaced')];
}

function testIndexes(string $data, string $log): void
{
    $logged = substr_count(file_get_contents($log), 'left out 15 entries');
    $apps = request('GET', '/sync_api.php?action=list_apps');
    check($apps['status'] === 200 && $apps['content-type'] === 'application/json'
          && $apps['content-length'] === (string) strlen($apps['body']), 'list_apps answers JSON with its length');
    check(json_decode($apps['body'], true) === appIndex(), 'list_apps lists a linked tree without hidden, unreachable, '
          . 'Windows-invalid, twin, unreadable or linked entries: ' . $apps['body']);
    check(substr_count(file_get_contents($log), 'left out 15 entries') === $logged + 1,
          'the entries left out are logged once per request');

    $video = fn(string $type, string $name, string $bytes) => ['type' => $type, 'filename' => $name,
                                                                 'size' => strlen($bytes), 'sha256' => hash('sha256', $bytes)];
    $public = [$video('public', 'a.mp4', file_get_contents("$data/Lumipost/ADS/Public/a.mp4")),
               $video('public', 'ten.mp4', '0123456789')];
    $private = fn(string $name, string $bytes) => [...$public, $video('private', $name, $bytes)];
    $cases = ['dev1' => $private('p.mp4', 'private 1'), 'dev2' => $private('q.mp4', 'private 2'),
              'dev3' => $private('s.mp4', 'shared 3'),
              '..' => $public, '..%2Fdev1' => $public, 'dev2%5C..%5Cdev1' => $public, '' => $public,
              'unknown' => $public, 'dev5' => $public];
    foreach ($cases as $device => $expected) {
        $videos = request('GET', "/sync_api.php?action=list_videos&device_uuid=$device");
        check($videos['content-type'] === 'application/json' && json_decode($videos['body'], true) === $expected,
              "list_videos for '$device': {$videos['body']}");
    }
    check(request('GET', '/sync_api.php?action=list_videos')['body'] === json_encode($public),
          'list_videos without device_uuid gives the public videos');

    // A wrong data folder must not look like an empty one, or the kiosks delete everything.
    rename("$data/Lumipost", "$data/Lumipost.away");
    check(request('GET', '/sync_api.php?action=list_apps')['status'] === 500, 'list_apps without its tree');
    check(request('GET', '/sync_api.php?action=list_videos')['status'] === 500, 'list_videos without its tree');
    rename("$data/Lumipost.away", "$data/Lumipost");
}

// Hashes are kept by size and modification time: bytes changed behind both are not read again (a
// warm index reads nothing), a new time is; the row of a file that went is dropped.
function testHashes(string $data): void
{
    $file = "$data/releases/v42/readme.txt";
    $time = filemtime($file);
    $listed = function (string $bytes, int $time) use ($file) {
        file_put_contents($file, $bytes);
        touch($file, $time);
        $index = json_decode(request('GET', '/sync_api.php?action=list_apps')['body'], true);
        return array_column($index, 'sha256', 'relativePath')['readme.txt'] ?? null;
    };
    check($listed('READ ME', $time) === hash('sha256', 'read me'), 'a warm index reads no file');
    check($listed('READ ME', $time + 1) === hash('sha256', 'READ ME'), 'a file with a new time is hashed again');
    rename($file, "$data/releases/v42/.away");
    request('GET', '/sync_api.php?action=list_apps');
    rename("$data/releases/v42/.away", $file);
    check($listed('read me', $time + 1) === hash('sha256', 'read me'), 'the row of a file that went is dropped');
}

function testStaticFiles(string $data): void
{
    $video = request('GET', '/Lumipost/ADS/Public/a.mp4');
    check($video['status'] === 200 && $video['content-length'] === (string) (3 << 20)
          && $video['body'] === file_get_contents("$data/Lumipost/ADS/Public/a.mp4"), 'large video streamed whole');
    $head = request('HEAD', '/Lumipost/ADS/Public/a.mp4');
    check($head['status'] === 200 && $head['content-length'] === (string) (3 << 20) && $head['body'] === '', 'HEAD');
    check(!isset($video['x-powered-by']) && !isset($head['x-powered-by'])
          && !isset(request('GET', '/sync_api.php?action=list_apps')['x-powered-by']), 'no X-Powered-By');

    $app = '/Lumipost/Application';
    $cases = ["$app/sub%20dir/a%20b.txt" => [200, 'spaced'], "$app/bin/app.exe" => [200, 'app'],
              '/Lumipost/ADS/Private/dev1/p.mp4' => [200, 'private 1'],
              '/Lumipost/ADS/Private/dev3/s.mp4' => [200, 'shared 3'],
              // Case twins are left out of the index, but neither set-up can tell them apart when serving.
              "$app/Twin.txt" => [200, 'a name Windows cannot create'],
              "$app/locked.txt" => [404, ''], "$app/../../uploads/dev1/blocked" => [404, ''],
              "$app/%2e%2e/%2e%2e/uploads/dev1/blocked" => [404, ''], '/Lumipost/ADS/../../../etc/passwd' => [400, ''],
              "$app/.hidden" => [404, ''], "$app/.git/config" => [404, ''], "$app/link/app.exe" => [404, ''],
              "$app/bin" => [404, ''], "$app/bin/" => [404, ''], "$app/bin%00/app.exe" => [400, ''],
              "$app/missing" => [404, ''], "$app/bad%23name.txt" => [404, ''], '/Lumipost//Application/readme.txt' => [404, ''],
              '/Lumipost/./Application/readme.txt' => [404, ''], '/Lumipost/ADS/Public/c:d.mp4' => [404, ''],
              '/Lumipost/ADS/Public/e%5Cf.mp4' => [404, ''], '/Lumipost/ADS/Public/g%0Ah.mp4' => [404, ''],
              '/Lumipost/ADS/Public/folder/x.mp4' => [404, ''], '/Lumipost/ADS/Private/dev1' => [404, ''],
              '/Lumipost/ADS/../../sync_api.php?action=list_apps' => [404, ''],
              '/uploads/dev1/blocked' => [404, ''], '/router.php' => [404, ''], '/common.php' => [404, '']];
    foreach (['CON.txt', 'aux', 'a%3Cb.txt', 'q%22uote.txt', 'star*.txt', 'pipe%7C.txt', 'dot.', 'space%20', '%FF.txt'] as $name) {
        $cases["$app/$name"] = [404, ''];
    }
    foreach ($cases as $target => [$status, $body]) {
        $answer = request('GET', $target);
        check($answer['status'] === $status && $answer['body'] === $body, "GET $target gives $status: {$answer['status']}");
    }
}

// Single ranges, If-Range and conditional requests as nginx answers them (server/check-nginx.sh
// compares the two set-ups on the same rows).
function testRanges(string $data): void
{
    $file = "$data/Lumipost/ADS/Public/ten.mp4";
    $etag = sprintf('"%x-%x"', filemtime($file), 10);
    $date = gmdate('D, d M Y H:i:s', filemtime($file)) . ' GMT';
    $old = 'Thu, 01 Jan 1970 00:00:00 GMT';
    $whole = [200, '0123456789', null];
    $cases = [[[], $whole], [['Range: bytes=2-'], [206, '23456789', 'bytes 2-9/10']],
              [['Range: bytes=2-4'], [206, '234', 'bytes 2-4/10']], [['Range: bytes=-3'], [206, '789', 'bytes 7-9/10']],
              [['Range: bytes=0-100'], [206, '0123456789', 'bytes 0-9/10']],
              [['Range: Bytes= 2 - 4'], [206, '234', 'bytes 2-4/10']],
              [['Range: bytes=10-'], [416, '', 'bytes */10']], [['Range: bytes=5-3'], [416, '', 'bytes */10']],
              [['Range: bytes=abc'], [416, '', 'bytes */10']], [['Range: bytes=0-1,3-4'], $whole],
              [['Range: items=2-'], $whole],
              [['Range: bytes=2-', "If-Range: $etag"], [206, '23456789', 'bytes 2-9/10']],
              [['Range: bytes=2-', "If-Range: $date"], [206, '23456789', 'bytes 2-9/10']],
              [['Range: bytes=2-', "If-Range: W/$etag"], $whole], [['Range: bytes=2-', 'If-Range: "1-a"'], $whole],
              [['Range: bytes=2-', "If-Range: $old"], $whole], [['Range: bytes=2-', 'If-Range: soon'], $whole],
              [["If-None-Match: \"x\", W/$etag"], [304, '', null]], [["If-Modified-Since: $date"], [304, '', null]],
              [["If-Modified-Since: $old"], $whole], [['If-None-Match: "x"'], $whole],
              [['If-Match: "x"'], [412, '', null]], [["If-Match: $etag"], $whole],
              [["If-Unmodified-Since: $old"], [412, '', null]], [["If-Unmodified-Since: $date"], $whole]];
    foreach ($cases as [$headers, [$status, $body, $contentRange]]) {
        $answer = request('GET', '/Lumipost/ADS/Public/ten.mp4', '', $headers);
        check($answer['status'] === $status && $answer['body'] === $body
              && ($answer['content-range'] ?? null) === $contentRange
              && ($status >= 300 || ($answer['etag'] ?? '') === $etag && ($answer['last-modified'] ?? '') === $date),
              implode(', ', $headers) . " gives $status $body: {$answer['status']} {$answer['body']}");
    }
    $head = request('HEAD', '/Lumipost/ADS/Public/a.mp4', '', ['Range: bytes=1048576-']);
    check($head['status'] === 206 && $head['content-length'] === (string) (2 << 20) && $head['body'] === '', 'HEAD of a range');
    $rest = request('GET', '/Lumipost/ADS/Public/a.mp4', '', ['Range: bytes=1048577-']);
    check($rest['body'] === substr(file_get_contents("$data/Lumipost/ADS/Public/a.mp4"), 1048577), 'the rest of a large video');
}

function testMethodsAndActions(): void
{
    $cases = [['GET', '/sync_api.php?action=upload', 405], ['POST', '/sync_api.php?action=list_apps', 405],
              ['POST', '/sync_api.php?action=list_videos', 405], ['GET', '/sync_api.php?action=delete', 400],
              ['GET', '/sync_api.php', 400], ['PUT', '/Lumipost/Application/readme.txt', 405]];
    foreach ($cases as [$method, $target, $status]) {
        check(request($method, $target)['status'] === $status, "$method $target gives $status");
    }
}

function testUploadsAreStoredOnce(string $data): void
{
    $shots = "$data/uploads/dev1/shots";
    // A temporary file left by a request that died an hour ago goes; one being written stays.
    put("$shots/.upload-old", 'stale');
    touch("$shots/.upload-old", time() - 7200);
    put("$shots/.upload-new", 'in flight');
    $long = str_repeat('n', 246) . '.jpg';
    check(uploadPhoto('shots/a.jpg', 'one') === 201, 'first upload stored');
    check(uploadPhoto('shots/a.jpg', 'one') === 200, 'repeated upload accepted');
    check(uploadPhoto('shots/a.jpg', 'two') === 201 && uploadPhoto('shots/a.jpg', 'three') === 201,
          'different bytes under a taken name stored');
    check(uploadPhoto('shots/a.jpg', 'two') === 200, 'repeat of a suffixed upload accepted');
    check(uploadPhoto('shots\\b.jpg', 'bee') === 201, 'backslash separates folders');
    check(uploadPhoto('shots/dir.jpg', 'beside a folder') === 201, 'a folder takes a name too');
    check(uploadPhoto('shots/noext', 'x') === 201 && uploadPhoto('shots/noext', 'y') === 201, 'no extension');
    check(uploadPhoto("shots/$long", 'long') === 201 && uploadPhoto("shots/$long", 'longer') === 201,
          'a 250-byte name, and its suffixed twin');
    $expected = ['.upload-new' => 'in flight', 'a-1.jpg' => 'two', 'a-2.jpg' => 'three',
                                  'a.jpg' => 'one', 'b.jpg' => 'bee', 'dir-1.jpg' => 'beside a folder',
                                  'noext' => 'x', 'noext-1' => 'y', $long => 'long',
                                  str_replace('.jpg', '-1.jpg', $long) => 'longer'];
    ksort($expected);
    check(filesBelow($shots) === $expected, 'each content stored once, nothing replaced, no temporary file left: '
          . implode(', ', array_keys(filesBelow($shots))));
    check(uploadPhoto('x.jpg', 'long device', str_repeat('d', 255)) === 201, 'a 255-byte device');

    // Each device's folder is its own lock: one kiosk's upload never waits for another's.
    $lock = fopen("$data/uploads/dev1", 'r');
    flock($lock, LOCK_EX);
    check(upload(['relative_path' => 'x.jpg', 'device_uuid' => 'dev2'], 'x', [], 10)['status'] === 201,
          "another device's lock does not hold an upload");
    check(upload(['relative_path' => 'x.jpg', 'device_uuid' => 'dev1'], 'x', [], 1)['status'] === 0,
          "the device's own lock holds it");
    fclose($lock);
    // Past 9,999 clashes there is no name left.
    foreach (['c.jpg', ...array_map(fn($i) => "c-$i.jpg", range(1, 9999))] as $name) {
        put("$data/uploads/dev4/many/$name", 'c');
    }
    check(uploadPhoto('many/c.jpg', 'other', 'dev4') === 500, 'the 10,000th clash answers 500');
}

function testUploadRefusals(string $data): void
{
    $before = filesBelow($data);
    $paths = ['../x.jpg', 'a/../../x.jpg', '..\\..\\x.jpg', '/etc/x.jpg', '\\x.jpg', 'C:/x.jpg', 'C:x.jpg',
              'D:\\x.jpg', '', 'a//x.jpg', 'a/', "x\0.jpg", '.', '.upload-x', "\xff.jpg", "a\xc3/x.jpg",
              str_repeat('n', 252) . '.jpg', str_repeat('n', 247) . '.jpg', str_repeat('f', 256) . '/x.jpg'];
    foreach ($paths as $path) {
        check(uploadPhoto($path, 'bad') === 400, 'relative_path ' . json_encode(substr($path, 0, 20)) . ' refused');
    }
    foreach (['..', '../dev2', 'dev1/sub', 'dev1\\sub', 'C:', '', "dev\0", "d\xe9v", str_repeat('d', 10000)] as $device) {
        check(uploadPhoto('x.jpg', 'bad', $device) === 400, 'device_uuid ' . json_encode(substr($device, 0, 20)) . ' refused');
    }
    $fields = ['relative_path' => 'x.jpg', 'device_uuid' => 'dev1'];
    check(upload($fields, null)['status'] === 400, 'missing photo refused');
    check(upload($fields + ['photo' => 'not a file'], null)['status'] === 400, 'photo as plain field refused');
    check(upload(['device_uuid' => 'dev1'], 'x')['status'] === 400, 'missing relative_path refused');
    check(upload(['relative_path' => 'x.jpg'], 'x')['status'] === 400, 'missing device_uuid refused');
    check(upload(['MAX_FILE_SIZE' => '1'] + $fields, 'too big')['status'] === 413, 'failed PHP upload refused');
    $extra = array_combine(array_map(fn($i) => "f$i", range(1, 21)), array_fill(0, 21, str_repeat('e', 65536)));
    check(upload($fields, 'photo', $extra)['status'] === 400, 'a form that PHP cut (max_file_uploads) refused');
    $cut = "--b\r\nContent-Disposition: form-data; name=\"device_uuid\"\r\n\r\ndev1\r\n--b\r\nContent-Disposition: "
         . "form-data; name=\"relative_path\"\r\n\r\nx.jpg\r\n--b\r\nContent-Disposition: form-data; name=\"photo\"; "
         . "filename=\"p.jpg\"\r\n\r\nhalf a photo";
    check(request('POST', '/sync_api.php?action=upload', $cut, ['Content-Type: multipart/form-data; boundary=b'])['status']
          === 400, 'a photo cut short refused');
    check(upload($fields, [513 << 20])['status'] === 413, 'a photo over post_max_size refused');
    check(uploadPhoto('blocked/x.jpg', 'photo') === 500, 'unwritable target folder is not a success');
    check(uploadPhoto('x.jpg', 'photo', 'dev5') === 500 && uploadPhoto('linked/x.jpg', 'photo') === 500,
          'a symlink below uploads/ is not followed');
    // A missing uploads/ is a wrong data folder: nothing is created.
    rename("$data/uploads", "$data/uploads.away");
    check(uploadPhoto('x.jpg', 'photo', 'dev9') === 500 && !file_exists("$data/uploads"), 'no uploads/ folder');
    rename("$data/uploads.away", "$data/uploads");
    check(filesBelow($data) === $before && filesBelow(dirname($data) . '/outside') === [],
          'refused uploads store nothing');
}

$router = realpath($argv[1] ?? __DIR__ . '/../../server/router.php');
// --state: only the tests of the server's state (run against PostgreSQL by with-postgres.sh).
$stateOnly = ($argv[2] ?? '') === '--state';
if ($router === false) {
    fwrite(STDERR, "usage: php [-n] sync_server_test.php path/to/server/router.php [--state]\n");
    exit(2);
}
$work = sys_get_temp_dir() . '/lumipost-server-test-' . bin2hex(random_bytes(6));
$data = "$work/data";
$log = "$work/server.log";
$noIni = php_ini_loaded_file() === false ? ['-n'] : [];
mkdir($work);
try {
    writeFixture($data);
    [$server, $port] = startServer(fn($address) => [PHP_BINARY, ...$noIni, $router, $address], $work, $data, $log);
    try {
        testIndexes($data, $log);
        testHashes($data);
        if (!$stateOnly) {
            testStaticFiles($data);
            testRanges($data);
            testMethodsAndActions();
            testUploadsAreStoredOnce($data);
            testUploadRefusals($data);
        }
    } finally {
        stopServer($server);
    }
    // A state database that fails costs the hashes, never the index.
    [$server, $port] = startServer(fn($address) => [PHP_BINARY, ...$noIni, $router, $address], $work, $data, $log,
                                   ['LUMIPOST_SERVER_DSN' => "sqlite:$work/missing/state.sqlite"]);
    check(json_decode(request('GET', '/sync_api.php?action=list_apps')['body'], true) === appIndex(false)
          && str_contains(file_get_contents($log), 'the state database failed'), 'an index without its state database');
    stopServer($server);
    // Started by hand without the settings, the server refuses everything rather than risk a 200.
    [$server, $port] = startServer(fn($address) => [PHP_BINARY, '-n', '-S', $address, $router], $work, $data, $log);
    check(request('GET', '/sync_api.php?action=list_apps')['status'] === 500, 'a start without the settings answers 500');
    stopServer($server);
} catch (Throwable $e) {
    check(false, $e->getMessage());
} finally {
    if ($failed > 0 && is_file($log)) {
        $lines = preg_grep('/ (Accepted|Closing|Closed without)/', file($log), PREG_GREP_INVERT);
        fwrite(STDERR, "Server log:\n" . implode('', array_slice($lines, -40)));
    }
    chmod("$data/releases/v42/locked.txt", 0644);
    removeTree($work);
}
echo "$passed passed, $failed failed\n";
exit($failed === 0 ? 0 : 1);
