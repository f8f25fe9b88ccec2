<?php
// The SHA-256 of every file the indexes list, kept in the state database so that a file is read only
// when its size or modification time changed: a warm index of 100,000 files reads no file's bytes.
// A fault of the database never fails an index: the files it could not look up go without a hash
// (the agent then compares sizes only), and the fault is logged once per request.
declare(strict_types=1);
require_once __DIR__ . '/state.php';

// New rows are written in batches of this many, or after a second: few transactions for a cold
// tree, and a request that dies midway (time limit) keeps what it hashed up to then.
const HASH_BATCH_ROWS = 1000;
const HASH_BATCH_SECONDS = 1.0;

// One row per file, keyed by its folder (relative to the data folder, symlinks of the tree folders
// resolved, so a new release is a new set of rows) and name.
const HASH_TABLE = 'CREATE TABLE IF NOT EXISTS file_hashes (folder TEXT NOT NULL, name TEXT NOT NULL,
    size BIGINT NOT NULL, mtime BIGINT NOT NULL, sha256 TEXT NOT NULL, PRIMARY KEY (folder, name))';

// The database for the hashes with their table, or null once it failed in this request. A failure
// passed in is logged, the first one only.
function hashDb(?Throwable $failure = null): ?PDO
{
    static $db = null, $failed = false;
    if ($failure === null && $db === null && !$failed) {
        try {
            stateDb()->exec(HASH_TABLE);
            $db = stateDb();
        } catch (Throwable $e) {
            $failure = $e;
        }
    }
    if ($failure !== null && !$failed) {
        $failed = true;
        error_log('lumipost: the state database failed, files it could not look up are listed without a hash: '
                  . $failure->getMessage());
    }
    return $failed ? null : $db;
}

// Runs $work on the database; $fallback when it is out of use or fails. The database stays out of use
// for the rest of the request (a transaction left open is rolled back when the connection closes).
function withHashDb(callable $work, mixed $fallback): mixed
{
    $db = hashDb();
    try {
        return $db === null ? $fallback : $work($db);
    } catch (Throwable $e) {
        hashDb($e);
        return $fallback;
    }
}

// Relative to the data folder, so that servers sharing one database may keep it at other paths.
function hashFolderKey(string $folder): string
{
    static $data = null;
    $data ??= realpath(dataRoot()) ?: dataRoot();
    return str_starts_with("$folder/", "$data/") ? substr($folder, strlen($data) + 1) : $folder;
}

// The hashes of one folder's files: its rows loaded in one query, files that changed hashed and
// queued for saving, rows of files no longer listed dropped (a whole folder that is gone keeps its
// rows: finding those would take a query over the whole table).
final class FolderHashes
{
    private string $folder;
    private string $key;
    private ?array $known = null;
    private bool $loaded = false;

    public function __construct(string $folder)
    {
        $this->folder = rtrim($folder, '/');
        $this->key = hashFolderKey($this->folder);
    }

    // At the first file, once the folder's listing has freed what it needed on the way.
    private function load(): void
    {
        if (!$this->loaded) {
            $this->known = withHashDb(fn(PDO $db) => knownHashes($db, $this->key), null);
            $this->loaded = true;
        }
    }

    // ['sha256' => ...] for the file $name, or [] when the database could not tell.
    public function of(string $name): array
    {
        $this->load();
        $path = "$this->folder/$name";
        if ($this->known === null || ($stat = @stat($path)) === false) {
            return [];
        }
        $row = $this->known[$name] ?? null;
        unset($this->known[$name]);
        if ($row !== null && str_starts_with($row, pack('JJ', $stat['size'], $stat['mtime']))) {
            return ['sha256' => bin2hex(substr($row, 16))];
        }
        $hashed = hashFile($path);
        if ($hashed === null) {
            return [];
        }
        HashQueue::add([$this->key, $name, ...$hashed]);
        return ['sha256' => $hashed[2]];
    }

    // What is left of the rows belongs to files that were not listed.
    public function dropUnlisted(): void
    {
        $this->load();
        foreach (array_keys($this->known ?? []) as $name) {
            HashQueue::add([$this->key, (string) $name]);
        }
    }
}

// Name => size, mtime and hash packed into 48 bytes: a folder of 300,000 files stays within
// memory_limit beside its listing.
function knownHashes(PDO $db, string $folder): array
{
    static $select = null;
    $select ??= $db->prepare('SELECT name, size, mtime, sha256 FROM file_hashes WHERE folder = ?');
    $select->execute([$folder]);
    $rows = [];
    while (($row = $select->fetch(PDO::FETCH_NUM)) !== false) {
        [$name, $size, $mtime, $sha256] = $row;
        $rows[$name] = pack('JJ', (int) $size, (int) $mtime) . hex2bin($sha256);
    }
    return $rows;
}

// [size, mtime, sha256] of one opened file, so the three belong to the same bytes even if the file
// is replaced meanwhile; null if it cannot be read to its end, or is still being written.
function hashFile(string $path): ?array
{
    $handle = @fopen($path, 'r');
    if ($handle === false) {
        return null;
    }
    $stat = fstat($handle);
    $context = hash_init('sha256');
    $read = hash_update_stream($context, $handle);
    fclose($handle);
    return $read === $stat['size'] ? [$stat['size'], $stat['mtime'], hash_final($context)] : null;
}

// Rows to save ([folder, name, size, mtime, sha256]) or to delete ([folder, name]), written apart
// from the hashing so that the database's write lock is held only briefly.
final class HashQueue
{
    private static array $rows = [];
    private static float $since = 0.0;

    public static function add(array $row): void
    {
        self::$rows[] = $row;
        self::$since = self::$since ?: microtime(true);
        if (count(self::$rows) >= HASH_BATCH_ROWS || microtime(true) - self::$since >= HASH_BATCH_SECONDS) {
            self::save();
        }
    }

    public static function save(): void
    {
        if (self::$rows !== []) {
            withHashDb(fn(PDO $db) => saveHashes($db, self::$rows), null);
        }
        self::$rows = [];
        self::$since = 0.0;
    }
}

function saveHashes(PDO $db, array $rows): void
{
    $delete = $db->prepare('DELETE FROM file_hashes WHERE folder = ? AND name = ?');
    $db->beginTransaction();
    // Many rows per statement: one round trip each to a database server. No row comes twice.
    foreach (array_chunk(array_filter($rows, fn($row) => count($row) === 5), 100) as $chunk) {
        upsertHashes($db, count($chunk))->execute(array_merge(...$chunk));
    }
    foreach (array_filter($rows, fn($row) => count($row) === 2) as $row) {
        $delete->execute($row);
    }
    $db->commit();
}

function upsertHashes(PDO $db, int $rows): PDOStatement
{
    static $statements = [];
    return $statements[$rows] ??= $db->prepare('INSERT INTO file_hashes (folder, name, size, mtime, sha256) VALUES '
        . implode(', ', array_fill(0, $rows, '(?, ?, ?, ?, ?)')) . ' ON CONFLICT (folder, name) DO UPDATE SET '
        . 'size = excluded.size, mtime = excluded.mtime, sha256 = excluded.sha256');
}
