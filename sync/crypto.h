#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

class QIODevice;

// SHA-256 and Ed25519 from OpenSSL's libcrypto: it uses the CPU's SHA
// instructions, which hash several times faster than Qt's own code, so a
// hashed download keeps up with the disk and the network.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    void addData(QByteArrayView bytes);
    // Reads the device to its end; false on a read error.
    bool addData(QIODevice *device);
    QByteArray hexResult(); // lowercase hex; ends the hash

    static QByteArray hexOf(QByteArrayView bytes);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

// Whether `signature` is the Ed25519 signature of `message` by `publicKey`
// (32 raw bytes).
bool isEd25519Signature(QByteArrayView publicKey, QByteArrayView message, QByteArrayView signature);
