<?php
// A fleet's load on the reference server: KIOSKS kiosks side by side, each doing what the agent does
// on two connections at once, for SECONDS: on one the video index, photo uploads and now and then the
// application index, on the other a private video fetched from a byte on, again and again. Prints one sample line (JSON): requests/s,
// p50/p99 latency, errors, and the acknowledged photos checked on disk byte for byte.
//   php bench/load.php BASE_URL DATA_FOLDER KIOSKS SECONDS
// The data folder must hold Lumipost/ADS/Private/load-NNN/clip.bin for each kiosk.
declare(strict_types=1);

[, $base, $data, $kiosks, $seconds] = $argv + [4 => ''];
if (!preg_match('#^http://(127\.0\.0\.1):(\d+)$#', $base, $address) || !is_dir($data) || (int) $kiosks < 1 || (int) $seconds < 1) {
    fwrite(STDERR, "usage: php bench/load.php http://127.0.0.1:PORT DATA_FOLDER KIOSKS SECONDS\n");
    exit(2);
}
const BOUNDARY = 'lumipostload';
const CYCLES = [['index', 'upload', 'upload', 'upload', 'apps'], ['video']];

function device(int $kiosk): string
{
    return sprintf('load-%03d', $kiosk);
}

// The request of step $step on connection $lane of a kiosk, and what its answer must be: [bytes,
// wanted status, photo hash].
function nextRequest(int $lane, int $step, int $clipSize): array
{
    $device = device(intdiv($lane, 2));
    $cycle = CYCLES[$lane % 2];
    switch ($cycle[$step % count($cycle)]) {
        case 'index':
            return ["GET /sync_api.php?action=list_videos&device_uuid=$device HTTP/1.0\r\n\r\n", 200, null];
        case 'apps':
            return ["GET /sync_api.php?action=list_apps HTTP/1.0\r\n\r\n", 200, null];
        case 'video':
            $from = random_int(0, $clipSize - 1);
            return ["GET /Lumipost/ADS/Private/$device/clip.bin HTTP/1.0\r\nRange: bytes=$from-\r\n\r\n", 206, null];
    }
    $photo = random_bytes(random_int(100, 400) << 10);
    $name = sprintf('IMG_%06d.jpg', $step);
    $body = '';
    foreach (['relative_path' => "Camera/$name", 'device_uuid' => $device] as $field => $value) {
        $body .= '--' . BOUNDARY . "\r\nContent-Disposition: form-data; name=\"$field\"\r\n\r\n$value\r\n";
    }
    $body .= '--' . BOUNDARY . "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"$name\"\r\n"
           . "Content-Type: image/jpeg\r\n\r\n$photo\r\n--" . BOUNDARY . "--\r\n";
    return ["POST /sync_api.php?action=upload HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=" . BOUNDARY
            . "\r\nContent-Length: " . strlen($body) . "\r\n\r\n$body", 201, hash('sha256', $photo)];
}

$clipSize = filesize("$data/Lumipost/ADS/Private/" . device(0) . '/clip.bin');
$end = microtime(true) + (int) $seconds;
$latencies = $acknowledged = [];
$errors = 0;
$open = []; // kiosk => [socket, started, unsent bytes, answer so far, wanted status, photo hash, step]
$steps = array_fill(0, 2 * (int) $kiosks, 0);
$began = microtime(true);
while (true) {
    foreach ($steps as $lane => $step) {
        if (!isset($open[$lane]) && microtime(true) < $end) {
            $socket = @stream_socket_client("tcp://$address[1]:$address[2]", $code, $message, 30);
            if ($socket === false) {
                ++$errors;
                continue;
            }
            stream_set_blocking($socket, false);
            $open[$lane] = [$socket, microtime(true), ...nextRequest($lane, $step, $clipSize), ''];
            $steps[$lane] = $step + 1;
        }
    }
    if ($open === [] || microtime(true) > $end + 60) {
        $errors += count($open); // no answer a minute past the end
        break;
    }
    [$read, $write, $except] = [[], [], null];
    foreach ($open as $kiosk => [$socket, , $unsent]) {
        $unsent === '' ? $read[$kiosk] = $socket : $write[$kiosk] = $socket;
    }
    if (stream_select($read, $write, $except, 1) === false) {
        break;
    }
    foreach ($write as $kiosk => $socket) {
        $sent = @fwrite($socket, $open[$kiosk][2]);
        $open[$kiosk][2] = $sent === false ? '' : substr($open[$kiosk][2], $sent);
    }
    foreach ($read as $kiosk => $socket) {
        $chunk = fread($socket, 1 << 16);
        if ($chunk !== false && $chunk !== '') {
            $open[$kiosk][5] .= $chunk;
            continue;
        }
        [, $started, , $wanted, $photo, $answer] = $open[$kiosk];
        fclose($socket);
        unset($open[$kiosk]);
        $latencies[] = microtime(true) - $started;
        [$head, $body] = explode("\r\n\r\n", $answer, 2) + ['', ''];
        $status = (int) substr($head, 9, 3);
        if ($status !== $wanted && !($wanted === 201 && $status === 200)) {
            ++$errors;
        } elseif ($photo !== null) {
            $acknowledged[json_decode($body, true)['stored'] ?? '?'] = $photo;
        }
    }
}
$elapsed = microtime(true) - $began;
$whole = 0;
foreach ($acknowledged as $stored => $hash) {
    $whole += (int) (@hash_file('sha256', "$data/uploads/$stored") === $hash);
}
sort($latencies);
$percentile = fn(float $p) => $latencies === [] ? 0 : round(1000 * $latencies[(int) floor($p * (count($latencies) - 1))], 1);
echo json_encode(['row' => 'load', 'case' => "$kiosks kiosks", 'tool' => 'server', 'seconds' => round($elapsed, 2),
                  'requests' => count($latencies), 'requests_per_s' => round(count($latencies) / $elapsed, 1),
                  'p50_ms' => $percentile(0.5), 'p99_ms' => $percentile(0.99), 'errors' => $errors,
                  'photos_checked' => count($acknowledged), 'photos_whole' => $whole]), "\n";
