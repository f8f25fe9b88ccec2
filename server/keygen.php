<?php
// Makes the key pair that signs the indexes: `php server/keygen.php KEYFILE` writes the secret key
// (base64, mode 0600) to KEYFILE, never over an existing file, and prints the public key (base64 of
// its 32 bytes) for the agent's build setting LUMIPOST_INDEX_PUBLIC_KEY.
declare(strict_types=1);

if (PHP_SAPI !== 'cli' || $argc !== 2) {
    fwrite(STDERR, "usage: php server/keygen.php KEYFILE\n");
    exit(2);
}
umask(0077);
$file = @fopen($argv[1], 'x');
if ($file === false) {
    fwrite(STDERR, "keygen: cannot create {$argv[1]}: it exists already, or its folder cannot be written\n");
    exit(1);
}
$pair = sodium_crypto_sign_keypair();
$secret = base64_encode(sodium_crypto_sign_secretkey($pair)) . "\n";
if (!chmod($argv[1], 0600) || fwrite($file, $secret) !== strlen($secret) || !fflush($file) || !fclose($file)) {
    fwrite(STDERR, "keygen: cannot write {$argv[1]}\n");
    exit(1);
}
echo base64_encode(sodium_crypto_sign_publickey($pair)), "\n";
