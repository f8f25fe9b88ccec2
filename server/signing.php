<?php
// Signs both indexes when LUMIPOST_SIGNING_KEY_FILE names a key made by keygen.php, so that a kiosk
// takes an index only from its operator, even over plain HTTP. The signature covers the body's
// SHA-256, the route, the device asked for and a counter that only grows, drawn from the state
// database that all servers of a fleet share: an index captured earlier cannot be served again as new.
// Without the setting the indexes go out as before, unsigned.
declare(strict_types=1);
require_once __DIR__ . '/state.php';

const SIGNING_TABLES = ['CREATE TABLE IF NOT EXISTS index_counter (id INTEGER PRIMARY KEY, counter BIGINT NOT NULL)'];

// The secret key, or null without the setting. A key named but unusable fails the index (500): an
// unsigned answer would only be refused by every kiosk.
function signingKey(): ?string
{
    $file = setting('LUMIPOST_SIGNING_KEY_FILE');
    if ($file === null) {
        return null;
    }
    $key = base64_decode(trim((string) @file_get_contents($file)), true);
    if ($key === false || strlen($key) !== SODIUM_CRYPTO_SIGN_SECRETKEYBYTES) {
        throw new RuntimeException("LUMIPOST_SIGNING_KEY_FILE ($file) holds no signing key of keygen.php");
    }
    return $key;
}

// One statement draws the next value, so servers sharing a database never hand out one value twice.
// Without the database there is no counter, and the index fails rather than go out unsigned.
function nextIndexCounter(): int
{
    createTables(SIGNING_TABLES);
    stateDb()->exec('INSERT INTO index_counter (id, counter) VALUES (1, 0) ON CONFLICT (id) DO NOTHING');
    return (int) stateDb()->query('UPDATE index_counter SET counter = counter + 1 WHERE id = 1 RETURNING counter')
        ->fetchColumn();
}

// The headers that sign the index in $stream (read from its start), or none without a key.
function indexSignatureHeaders($stream, string $route, string $device): array
{
    $key = signingKey();
    if ($key === null) {
        return [];
    }
    rewind($stream);
    $body = hash_init('sha256');
    hash_update_stream($body, $stream);
    $counter = nextIndexCounter();
    $message = "lumipost-index-v1\n$route\n$device\n$counter\n" . hash_final($body);
    return ["X-Lumipost-Index-Counter: $counter",
            'X-Lumipost-Index-Signature: ' . base64_encode(sodium_crypto_sign_detached($message, $key))];
}
