<?php
// The server's own state (file hashes, what the kiosks did): SQLite in a hidden folder of the data
// folder by default, created on first use; one setting, LUMIPOST_SERVER_DSN, points it elsewhere,
// such as a PostgreSQL database that several servers share ("pgsql:host=...;dbname=...", with
// LUMIPOST_SERVER_DB_USER and LUMIPOST_SERVER_DB_PASSWORD).
declare(strict_types=1);
require_once __DIR__ . '/common.php';

function setting(string $name): ?string
{
    // php-fpm gets settings as FastCGI parameters, `php -S` from its environment.
    $value = $_SERVER[$name] ?? getenv($name);
    return is_string($value) && $value !== '' ? $value : null;
}

// One connection per request. Each feature creates its own tables with CREATE TABLE IF NOT EXISTS
// in SQL that both SQLite and PostgreSQL take.
function stateDb(): PDO
{
    static $db = null;
    if ($db !== null) {
        return $db;
    }
    $dsn = setting('LUMIPOST_SERVER_DSN');
    if ($dsn === null) {
        $folder = dataRoot() . '/.lumipost';
        if (!is_dir($folder) && !mkdir($folder, 0700) && !is_dir($folder)) {
            throw new RuntimeException("cannot create $folder");
        }
        $dsn = "sqlite:$folder/state.sqlite";
    }
    $db = new PDO($dsn, setting('LUMIPOST_SERVER_DB_USER'), setting('LUMIPOST_SERVER_DB_PASSWORD'),
                  [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_TIMEOUT => 5]);
    $driver = $db->getAttribute(PDO::ATTR_DRIVER_NAME);
    if ($driver === 'sqlite') {
        // Several php-fpm workers write at once: wait for a lock rather than fail.
        $db->exec('PRAGMA busy_timeout = 5000');
        $db->exec('PRAGMA journal_mode = WAL');
    } elseif ($driver === 'pgsql') {
        // Wait for a lock as long as SQLite does, never for ever: a kiosk waits on the answer.
        $db->exec("SET lock_timeout = '5s'");
    }
    return $db;
}
