<?php
// The SHA-256 of every file the indexes list, kept in the state database so that a file is read only
// when it changed: a warm index of 100,000 files reads no file's bytes. A file counts as unchanged
// while its size, modification time, inode and change time hold: copies keep the modification time
// (cp -p, rsync -a, tar, unzip), but a file renamed into place has another inode and a newer change
// time, so a publish is always hashed afresh.
// A fault of the database never fails an index: the files it could not look up go without a hash
// (the agent then compares sizes only), and the fault is logged once per request.
declare(strict_types=1);
require_once __DIR__ . '/state.php';

// New rows are written in batches of this many, or after a second: few transactions for a cold
// tree, and a request that dies midway (time limit) keeps what it hashed up to then.
const HASH_BATCH_ROWS = 1000;
const HASH_BATCH_SECONDS = 1.0;

// One row per file, keyed by its folder (this machine's name and the folder's absolute path, symlinks
// of the tree folders resolved, so a new release is a new set of rows) and name. Servers sharing a
// database keep rows of their own: another machine's inodes say nothing about this one's files.
const HASH_TABLE = 'CREATE TABLE IF NOT EXISTS file_stamps (folder TEXT NOT NULL, name TEXT NOT NULL,
    size BIGINT NOT NULL, mtime BIGINT NOT NULL, inode BIGINT NOT NULL, ctime BIGINT NOT NULL,
    sha256 TEXT NOT NULL, PRIMARY KEY (folder, name))';

// The database for the hashes with their table, or null once it failed in this request. A failure
// passed in is logged, the first one only.
function hashDb(?Throwable $failure = null): ?PDO
{
    static $db = null, $failed = false;
    if ($failure === null && $db === null && !$failed) {
        try {
            createTables([HASH_TABLE]);
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

function hashFolderKey(string $folder): string
{
    return gethostname() . ":$folder";
}

// What a file's row must match: size, modification time, inode, change time (0 where the system has
// no inode, as PHP on Windows, which gives the creation time as change time).
function fileStamp(array $stat): string
{
    return pack('JJJJ', $stat['size'], $stat['mtime'], $stat['ino'], $stat['ctime']);
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
        if ($row !== null && str_starts_with($row, fileStamp($stat))) {
            return ['sha256' => bin2hex(substr($row, 32))];
        }
        $hashed = hashFile($path);
        if ($hashed === null) {
            return [];
        }
        // A file changed within this second may change again within it unseen by its times: its hash
        // is kept only once it is older.
        if ($hashed[3] < time() - 1) {
            HashQueue::add($this->key, $name, $hashed);
        }
        return ['sha256' => $hashed[4]];
    }

    // What is left of the rows belongs to files that were not listed.
    public function dropUnlisted(): void
    {
        $this->load();
        foreach (array_keys($this->known ?? []) as $name) {
            HashQueue::add($this->key, (string) $name);
        }
    }
}

// Name => stamp and hash packed into 64 bytes: a folder of 300,000 files stays within memory_limit
// beside its listing.
function knownHashes(PDO $db, string $folder): array
{
    static $select = null;
    $select ??= $db->prepare('SELECT name, size, mtime, inode, ctime, sha256 FROM file_stamps WHERE folder = ?');
    $select->execute([$folder]);
    $rows = [];
    while (($row = $select->fetch(PDO::FETCH_NUM)) !== false) {
        [$name, $size, $mtime, $inode, $ctime, $sha256] = $row;
        $rows[$name] = pack('JJJJ', (int) $size, (int) $mtime, (int) $inode, (int) $ctime) . hex2bin($sha256);
    }
    return $rows;
}

// [size, mtime, inode, ctime, sha256] of one opened file, so they belong to the same bytes even if
// the file is replaced meanwhile; null if it cannot be read to its end, or is still being written.
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
    return $read === $stat['size'] ? [$stat['size'], $stat['mtime'], $stat['ino'], $stat['ctime'], hash_final($context)] : null;
}

// Rows to save ([folder, name, size, mtime, inode, ctime, sha256]) or to delete ([folder, name]),
// written apart from the hashing so that the database's write lock is held only briefly. One row per
// file: two listed folders may be one (a private folder linked to the public one), and an upsert
// may not name a row twice.
final class HashQueue
{
    private static array $rows = [];
    private static float $since = 0.0;

    public static function add(string $folder, string $name, array $stamp = []): void
    {
        self::$rows["$folder\0$name"] = [$folder, $name, ...$stamp];
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

// In one transaction, rolled back on failure so that the request's fleet record is not drawn into it.
function saveHashes(PDO $db, array $rows): void
{
    $delete = $db->prepare('DELETE FROM file_stamps WHERE folder = ? AND name = ?');
    $db->beginTransaction();
    try {
        // Many rows per statement: one round trip each to a database server.
        foreach (array_chunk(array_filter($rows, fn($row) => count($row) === 7), 100) as $chunk) {
            upsertHashes($db, count($chunk))->execute(array_merge(...$chunk));
        }
        foreach (array_filter($rows, fn($row) => count($row) === 2) as $row) {
            $delete->execute($row);
        }
        $db->commit();
    } catch (Throwable $e) {
        $db->rollBack();
        throw $e;
    }
}

function upsertHashes(PDO $db, int $rows): PDOStatement
{
    static $statements = [];
    return $statements[$rows] ??= $db->prepare('INSERT INTO file_stamps (folder, name, size, mtime, inode, ctime, sha256) VALUES '
        . implode(', ', array_fill(0, $rows, '(?, ?, ?, ?, ?, ?, ?)')) . ' ON CONFLICT (folder, name) DO UPDATE SET size = '
        . 'excluded.size, mtime = excluded.mtime, inode = excluded.inode, ctime = excluded.ctime, sha256 = excluded.sha256');
}
