<?php
// Loads a fleet page in headless Chromium (Debian's chromium) and saves its screenshot and its DOM.
// The token travels as an Authorization header set over the DevTools pipe, so it never appears in a
// URL, a command line or a file.
//   LUMIPOST_FLEET_TOKEN=... php scripts/fleet-browser.php URL SCREENSHOT.png DOM.html SCRATCH
declare(strict_types=1);

[, $url, $screenshot, $domFile, $scratch] = $argv + array_fill(0, 5, null);
$token = getenv('LUMIPOST_FLEET_TOKEN');
if ($scratch === null || !is_string($token)) {
    fwrite(STDERR, "usage: LUMIPOST_FLEET_TOKEN=... php fleet-browser.php URL SCREENSHOT.png DOM.html SCRATCH\n");
    exit(2);
}

// Chromium reads commands on fd 3 and writes answers and events on fd 4, each a JSON text ending in NUL.
function startChromium(string $profile, string $log)
{
    global $pipes;
    // Shared memory in a container is often too small for a page: TMPDIR instead.
    $flags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
              '--disable-background-networking', '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage',
              '--hide-scrollbars', '--window-size=1200,800', "--user-data-dir=$profile", '--remote-debugging-pipe'];
    $io = [['file', '/dev/null', 'r'], ['file', $log, 'a'], ['file', $log, 'a'], ['pipe', 'r'], ['pipe', 'w']];
    return proc_open(['chromium', ...$flags], $io, $pipes, null, ['HOME' => $profile, 'TMPDIR' => $profile] + getenv());
}

// Sends one command and returns its result; events that arrive meanwhile are kept for waitFor().
function call(string $method, array $params = [], ?string $session = null): array
{
    global $pipes, $events;
    static $id = 0;
    $message = ['id' => ++$id, 'method' => $method, 'params' => (object) $params] + ($session ? ['sessionId' => $session] : []);
    fwrite($pipes[3], json_encode($message) . "\0");
    while ((($reply = nextMessage())['id'] ?? null) !== $id) {
        $events[] = $reply;
    }
    return $reply['result'] ?? throw new RuntimeException("$method failed: " . json_encode($reply['error'] ?? $reply));
}

function nextMessage(): array
{
    global $pipes;
    static $buffer = '';
    while (($end = strpos($buffer, "\0")) === false) {
        $read = [$pipes[4]];
        $none = null;
        if (!stream_select($read, $none, $none, 30) || ($chunk = fread($pipes[4], 1 << 20)) === '' || $chunk === false) {
            throw new RuntimeException('Chromium did not answer within 30 s');
        }
        $buffer .= $chunk;
    }
    $message = json_decode(substr($buffer, 0, $end), true);
    $buffer = substr($buffer, $end + 1);
    return $message;
}

function waitFor(string $event): void
{
    global $events;
    while (!in_array($event, array_column($events, 'method'), true)) {
        $events[] = nextMessage();
    }
}

$events = [];
@mkdir($scratch, 0700, true);
$chromium = startChromium($scratch, "$scratch/chromium.log");
try {
    $target = call('Target.createTarget', ['url' => 'about:blank'])['targetId'];
    $session = call('Target.attachToTarget', ['targetId' => $target, 'flatten' => true])['sessionId'];
    call('Network.enable', [], $session);
    call('Network.setExtraHTTPHeaders', ['headers' => ['Authorization' => "Bearer $token"]], $session);
    call('Page.enable', [], $session);
    call('Page.navigate', ['url' => $url], $session);
    waitFor('Page.loadEventFired');
    $dom = call('Runtime.evaluate', ['expression' => 'document.documentElement.outerHTML', 'returnByValue' => true],
                $session)['result']['value'];
    file_put_contents($domFile, $dom);
    file_put_contents($screenshot, base64_decode(call('Page.captureScreenshot', ['format' => 'png'], $session)['data']));
    call('Browser.close');
} finally {
    // Closed, Chromium cleans up and ends; after a failure it is ended here.
    for ($i = 0; $i < 50 && proc_get_status($chromium)['running']; ++$i) {
        usleep(100000);
    }
    proc_terminate($chromium);
    proc_close($chromium);
}
