<?php
// Shared by sync_api.php and router.php: where the data lives and which names are safe.
declare(strict_types=1);

// A warning printed before the status line would turn every failure into a 200.
ini_set('display_errors', '0');
ini_set('log_errors', '1');

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

function areSafeNames(array $segments): bool
{
    foreach ($segments as $segment) {
        if (!isSafeName($segment)) {
            return false;
        }
    }
    return true;
}
