<?php
// The server's own state (file hashes, what the kiosks did): SQLite in a hidden folder of the data
// folder by default, created on first use; one setting, LUMIPOST_SERVER_DSN, points it elsewhere,
// such as a PostgreSQL database that several servers share ("pgsql:host=...;dbname=...", with
// LUMIPOST_SERVER_DB_USER and LUMIPOST_SERVER_DB_PASSWORD).
declare(strict_types=1);
require_once __DIR__ . '/common.php';

// After a database could not be opened, every request skips it for this long rather than wait for
// it again: a lost database server would otherwise cost each kiosk a connection timeout.
const STATE_DB_BACKOFF_SECONDS = 30;

function setting(string $name): ?string
{
    // php-fpm gets settings as FastCGI parameters, `php -S` from its environment.
    $value = $_SERVER[$name] ?? getenv($name);
    return is_string($value) && $value !== '' ? $value : null;
}

function stateDsn(): string
{
    return setting('LUMIPOST_SERVER_DSN') ?? 'sqlite:' . dataRoot() . '/.lumipost/state.sqlite';
}

// A file per database, shared by every worker of this machine: its time is the last failure to open.
function stateDbFailureMark(): string
{
    return sys_get_temp_dir() . '/lumipost-state-' . hash('sha256', stateDsn() . "\0" . dataRoot()) . '.failed';
}

// One connection per request, opened once: a failure is remembered for the rest of the request and,
// through the failure mark, for STATE_DB_BACKOFF_SECONDS after it.
function stateDb(): PDO
{
    static $db = null, $failure = null;
    if ($failure !== null) {
        throw $failure;
    }
    try {
        return $db ??= openStateDb();
    } catch (Throwable $e) {
        $failure = $e;
        throw $e;
    }
}

function openStateDb(): PDO
{
    $failedAt = @filemtime(stateDbFailureMark());
    if ($failedAt !== false && time() - $failedAt < STATE_DB_BACKOFF_SECONDS) {
        throw new RuntimeException('skipped for ' . STATE_DB_BACKOFF_SECONDS . ' s after it failed at ' . date('H:i:s', $failedAt));
    }
    try {
        $folder = dataRoot() . '/.lumipost';
        if (setting('LUMIPOST_SERVER_DSN') === null && !is_dir($folder) && !mkdir($folder, 0700) && !is_dir($folder)) {
            throw new RuntimeException("cannot create $folder");
        }
        $db = new PDO(stateDsn(), setting('LUMIPOST_SERVER_DB_USER'), setting('LUMIPOST_SERVER_DB_PASSWORD'),
                      [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_TIMEOUT => 5]);
    } catch (Throwable $e) {
        @touch(stateDbFailureMark());
        throw $e;
    }
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

// Each feature creates its own tables (and indexes) with IF NOT EXISTS, in SQL that both SQLite and
// PostgreSQL take. Two first requests may create one table at once: PostgreSQL then fails the later
// one with a duplicate (42P07, or 23505 on its catalogue), and the table is there all the same.
function createTables(array $statements): void
{
    foreach ($statements as $sql) {
        try {
            stateDb()->exec($sql);
        } catch (PDOException $e) {
            if (!in_array($e->getCode(), ['42P07', '23505'], true)) {
                throw $e;
            }
        }
    }
}
