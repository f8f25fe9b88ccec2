<?php
// Shared by sync_api.php and router.php: the PHP settings the server relies on, where the data
// lives and which names are served.
declare(strict_types=1);

// Every start command passes these: `php server/router.php HOST:PORT` as -d flags, and
// nginx-lumipost.conf as PHP_ADMIN_VALUE. display_errors above all: PHP reads the request before
// any script runs, and a warning it prints then (a body over post_max_size, too many files or
// fields) sends the status line as 200, so the script's own refusal would be lost.
const PHP_SETTINGS = [
    'display_errors' => '0', 'log_errors' => '1', 'html_errors' => '0', 'expose_php' => '0',
    'file_uploads' => '1', 'enable_post_data_reading' => '1', 'max_file_uploads' => '20',
    'upload_max_filesize' => '512M', 'post_max_size' => '512M', 'memory_limit' => '128M',
];

if (PHP_SAPI !== 'cli') {
    header_remove('X-Powered-By');
    // A worker lives on between requests: resolve every symlink afresh (an atomic switch of a tree).
    clearstatcache(true);
    // A server started without the settings answers nothing but 500, so a wrong start shows at the
    // first request instead of turning a lost photo into a 200 some day.
    $flags = FILTER_VALIDATE_BOOLEAN | FILTER_NULL_ON_FAILURE;
    if (filter_var(ini_get('display_errors'), FILTER_VALIDATE_BOOLEAN, $flags) !== false
        || !ini_get('file_uploads') || !ini_get('enable_post_data_reading')) {
        error_log('lumipost: PHP runs without the settings of server/common.php; start the server with '
                  . '`php server/router.php HOST:PORT` or nginx-lumipost.conf');
        http_response_code(500);
        exit;
    }
}

function dataRoot(): string
{
    // php-fpm gets the setting as a FastCGI parameter, `php -S` from its environment.
    $configured = $_SERVER['LUMIPOST_SERVER_DATA'] ?? getenv('LUMIPOST_SERVER_DATA');
    if (!is_string($configured) || $configured === '') {
        return __DIR__ . '/data';
    }
    return rtrim($configured, '/') ?: '/';
}

// One path segment that stays inside its folder on Linux and Windows alike: no separators,
// no drive letters or streams (":"), no "." / ".." and no hidden names, no control characters.
function isSafeName(string $name): bool
{
    return $name !== '' && $name[0] !== '.' && !preg_match('/[\/\\\\:\x00-\x1f\x7f]/', $name);
}

// A name that both set-ups serve and the indexes list: safe, valid UTF-8, and one that an agent can
// put into a URL unescaped and create on Windows (no reserved character or device name, no trailing
// dot or space). nginx-lumipost.conf refuses the same names with one regular expression.
function isServedName(string $name): bool
{
    return isSafeName($name) && preg_match('//u', $name)
        && !preg_match('/[<>"|*?#%]|[. ]$|^(con|prn|aux|nul|com[0-9¹²³]|lpt[0-9¹²³]) *(\.|$)/iu', $name);
}

function allMatch(array $segments, callable $rule): bool
{
    foreach ($segments as $segment) {
        if (!$rule($segment)) {
            return false;
        }
    }
    return true;
}
