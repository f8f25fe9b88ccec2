<?php
// Runs server/router.php under `php -S` on a free loopback port against a temporary data folder
// and checks the answers and what ends up on disk.
// Usage: php sync_server_test.php path/to/server/router.php
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

// Another process may take the port between freePort() and `php -S`: then try another one.
function startServer(string $router, string $work, string $data, string $log): array
{
    $env = ['LUMIPOST_SERVER_DATA' => $data] + getenv();
    for ($attempt = 0; $attempt < 5; ++$attempt) {
        $port = freePort();
        $command = [PHP_BINARY, '-d', 'upload_max_filesize=512M', '-d', 'post_max_size=512M',
                    '-S', "127.0.0.1:$port", $router];
        $output = ['file', $log, 'a'];
        $process = proc_open($command, [['file', '/dev/null', 'r'], $output, $output], $pipes, $work, $env);
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

function request(string $method, string $target, string $body = '', array $headers = []): array
{
    global $port;
    $socket = fsockopen('127.0.0.1', $port, $errno, $error, 10);
    stream_set_timeout($socket, 60);
    $head = "$method $target HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " . strlen($body) . "\r\n";
    $message = $head . implode('', array_map(fn($h) => "$h\r\n", $headers)) . "\r\n" . $body;
    for ($sent = 0; $sent < strlen($message); $sent += $written) {
        $written = fwrite($socket, substr($message, $sent));
        if (!$written) {
            break;
        }
    }
    $response = stream_get_contents($socket);
    fclose($socket);
    [$rawHead, $responseBody] = explode("\r\n\r\n", $response, 2) + ['', ''];
    preg_match('#^HTTP/\S+ (\d{3})#', $rawHead, $status);
    preg_match('/^Content-Length: *(\d+)/mi', $rawHead, $length);
    preg_match('/^Content-Type: *(\S+)/mi', $rawHead, $type);
    return ['status' => (int) ($status[1] ?? 0), 'length' => $length[1] ?? null,
            'type' => $type[1] ?? null, 'body' => $responseBody];
}

function upload(array $fields, ?string $photo): array
{
    $boundary = 'lumipost' . bin2hex(random_bytes(8));
    $body = '';
    foreach ($fields as $name => $value) {
        $body .= "--$boundary\r\nContent-Disposition: form-data; name=\"$name\"\r\n\r\n$value\r\n";
    }
    if ($photo !== null) {
        $body .= "--$boundary\r\nContent-Type: application/octet-stream\r\n"
               . "Content-Disposition: form-data; name=\"photo\"; filename=\"p.jpg\"\r\n\r\n$photo\r\n";
    }
    return request('POST', '/sync_api.php?action=upload', "$body--$boundary--\r\n",
                   ["Content-Type: multipart/form-data; boundary=$boundary"]);
}

function uploadPhoto(string $relativePath, string $bytes, string $device = 'dev1'): int
{
    return upload(['relative_path' => $relativePath, 'device_uuid' => $device], $bytes)['status'];
}

// Relative path => contents of every file below $dir, hidden ones included.
function filesBelow(string $dir): array
{
    $files = [];
    $items = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($dir, FilesystemIterator::SKIP_DOTS));
    foreach ($items as $path => $item) {
        if ($item->isFile() && !$item->isLink()) {
            $files[substr($path, strlen($dir) + 1)] = file_get_contents($path);
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
    $app = "$data/Lumipost/Application";
    put("$app/bin/app.exe", 'app');
    put("$app/readme.txt", 'read me');
    put("$app/sub dir/a b.txt", 'spaced');
    put("$app/.git/config", 'hidden');
    put("$app/.hidden", 'hidden');
    put("$app/bad#name.txt", 'unreachable by URL');
    mkdir("$app/empty");
    symlink("$app/bin", "$app/link");
    put("$data/Lumipost/ADS/Public/a.mp4", random_bytes(3 << 20));
    put("$data/Lumipost/ADS/Public/.part.mp4");
    mkdir("$data/Lumipost/ADS/Public/folder");
    put("$data/Lumipost/ADS/Private/dev1/p.mp4", 'private 1');
    put("$data/Lumipost/ADS/Private/dev2/q.mp4", 'private 2');
    put("$data/uploads/dev1/blocked", 'a file where a folder is asked for');
    mkdir("$data/uploads/dev1/shots/dir.jpg", 0777, true);
}

function testIndexes(string $data): void
{
    $apps = request('GET', '/sync_api.php?action=list_apps');
    check($apps['status'] === 200 && $apps['type'] === 'application/json', 'list_apps answers JSON');
    check(json_decode($apps['body'], true) === [
        ['relativePath' => 'bin', 'size' => 0, 'isDir' => true],
        ['relativePath' => 'bin/app.exe', 'size' => 3, 'isDir' => false],
        ['relativePath' => 'empty', 'size' => 0, 'isDir' => true],
        ['relativePath' => 'readme.txt', 'size' => 7, 'isDir' => false],
        ['relativePath' => 'sub dir', 'size' => 0, 'isDir' => true],
        ['relativePath' => 'sub dir/a b.txt', 'size' => 6, 'isDir' => false],
    ], 'list_apps lists the tree without hidden, unreachable or linked entries: ' . $apps['body']);

    $public = ['type' => 'public', 'filename' => 'a.mp4', 'size' => 3 << 20];
    $private = fn(string $name) => ['type' => 'private', 'filename' => $name, 'size' => 9];
    $cases = ['dev1' => [$public, $private('p.mp4')], 'dev2' => [$public, $private('q.mp4')],
              '..' => [$public], '..%2Fdev1' => [$public], 'dev2%5C..%5Cdev1' => [$public], '' => [$public],
              'unknown' => [$public]];
    foreach ($cases as $device => $expected) {
        $videos = request('GET', "/sync_api.php?action=list_videos&device_uuid=$device");
        check($videos['type'] === 'application/json' && json_decode($videos['body'], true) === $expected,
              "list_videos for '$device': {$videos['body']}");
    }
    check(request('GET', '/sync_api.php?action=list_videos')['body'] === json_encode([$public]),
          'list_videos without device_uuid gives the public videos');

    // A wrong data folder must not look like an empty one, or the kiosks delete everything.
    rename("$data/Lumipost", "$data/Lumipost.away");
    check(request('GET', '/sync_api.php?action=list_apps')['status'] === 500, 'list_apps without its tree');
    check(request('GET', '/sync_api.php?action=list_videos')['status'] === 500, 'list_videos without its tree');
    rename("$data/Lumipost.away", "$data/Lumipost");
}

function testStaticFiles(string $data): void
{
    $video = request('GET', '/Lumipost/ADS/Public/a.mp4');
    check($video['status'] === 200 && $video['length'] === (string) (3 << 20)
          && $video['body'] === file_get_contents("$data/Lumipost/ADS/Public/a.mp4"), 'large video streamed whole');
    $head = request('HEAD', '/Lumipost/ADS/Public/a.mp4');
    check($head['status'] === 200 && $head['length'] === (string) (3 << 20) && $head['body'] === '', 'HEAD');

    $cases = ['/Lumipost/Application/sub%20dir/a%20b.txt' => [200, 'spaced'],
              '/Lumipost/ADS/Private/dev1/p.mp4' => [200, 'private 1'],
              '/Lumipost/Application/../../uploads/dev1/blocked' => [404, ''],
              '/Lumipost/Application/%2e%2e/%2e%2e/uploads/dev1/blocked' => [404, ''],
              '/Lumipost/Application/.hidden' => [404, ''], '/Lumipost/Application/.git/config' => [404, ''],
              '/Lumipost/Application/link/app.exe' => [404, ''], '/Lumipost/Application/bin' => [404, ''],
              '/Lumipost/Application/bin%00/app.exe' => [404, ''], '/Lumipost/Application/missing' => [404, ''],
              '/uploads/dev1/blocked' => [404, ''], '/router.php' => [404, ''], '/common.php' => [404, '']];
    foreach ($cases as $target => [$status, $body]) {
        $answer = request('GET', $target);
        check($answer['status'] === $status && $answer['body'] === $body, "GET $target gives $status");
    }
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
    check(uploadPhoto('shots/a.jpg', 'one') === 201, 'first upload stored');
    check(uploadPhoto('shots/a.jpg', 'one') === 200, 'repeated upload accepted');
    check(uploadPhoto('shots/a.jpg', 'two') === 201 && uploadPhoto('shots/a.jpg', 'three') === 201,
          'different bytes under a taken name stored');
    check(uploadPhoto('shots/a.jpg', 'two') === 200, 'repeat of a suffixed upload accepted');
    check(uploadPhoto('shots\\b.jpg', 'bee') === 201, 'backslash separates folders');
    check(uploadPhoto('shots/dir.jpg', 'beside a folder') === 201, 'a folder takes a name too');
    check(uploadPhoto('shots/noext', 'x') === 201 && uploadPhoto('shots/noext', 'y') === 201, 'no extension');
    check(filesBelow($shots) === ['a-1.jpg' => 'two', 'a-2.jpg' => 'three', 'a.jpg' => 'one', 'b.jpg' => 'bee',
                                  'dir-1.jpg' => 'beside a folder', 'noext' => 'x', 'noext-1' => 'y'],
          'each content stored once, nothing replaced, no temporary file left: '
          . implode(', ', array_keys(filesBelow($shots))));
}

function testUploadRefusals(string $data): void
{
    $before = filesBelow($data);
    $paths = ['../x.jpg', 'a/../../x.jpg', '..\\..\\x.jpg', '/etc/x.jpg', '\\x.jpg', 'C:/x.jpg', 'C:x.jpg',
              'D:\\x.jpg', '', 'a//x.jpg', 'a/', "x\0.jpg", '.', '.upload-x'];
    foreach ($paths as $path) {
        check(uploadPhoto($path, 'bad') === 400, 'relative_path ' . json_encode($path) . ' refused');
    }
    foreach (['..', '../dev2', 'dev1/sub', 'dev1\\sub', 'C:', '', "dev\0"] as $device) {
        check(uploadPhoto('x.jpg', 'bad', $device) === 400, 'device_uuid ' . json_encode($device) . ' refused');
    }
    $fields = ['relative_path' => 'x.jpg', 'device_uuid' => 'dev1'];
    check(upload($fields, null)['status'] === 400, 'missing photo refused');
    check(upload($fields + ['photo' => 'not a file'], null)['status'] === 400, 'photo as plain field refused');
    check(upload(['device_uuid' => 'dev1'], 'x')['status'] === 400, 'missing relative_path refused');
    check(upload(['relative_path' => 'x.jpg'], 'x')['status'] === 400, 'missing device_uuid refused');
    check(upload(['MAX_FILE_SIZE' => '1'] + $fields, 'too big')['status'] === 400, 'failed PHP upload refused');
    check(uploadPhoto('blocked/x.jpg', 'photo') === 500, 'unwritable target folder is not a success');
    check(filesBelow($data) === $before, 'refused uploads store nothing');
}

$router = realpath($argv[1] ?? __DIR__ . '/../../server/router.php');
if ($router === false) {
    fwrite(STDERR, "usage: php sync_server_test.php path/to/server/router.php\n");
    exit(2);
}
$work = sys_get_temp_dir() . '/lumipost-server-test-' . bin2hex(random_bytes(6));
$data = "$work/data";
mkdir($work);
try {
    writeFixture($data);
    [$server, $port] = startServer($router, $work, $data, "$work/server.log");
    try {
        testIndexes($data);
        testStaticFiles($data);
        testMethodsAndActions();
        testUploadsAreStoredOnce($data);
        testUploadRefusals($data);
    } finally {
        proc_terminate($server);
        proc_close($server);
    }
} catch (Throwable $e) {
    check(false, $e->getMessage());
} finally {
    if ($failed > 0 && is_file("$work/server.log")) {
        $log = preg_grep('/ (Accepted|Closing|Closed without)/', file("$work/server.log"), PREG_GREP_INVERT);
        fwrite(STDERR, "Server log:\n" . implode('', array_slice($log, -40)));
    }
    removeTree($work);
}
echo "$passed passed, $failed failed\n";
exit($failed === 0 ? 0 : 1);
