#include "crypto.h"

#include <QIODevice>

#include <openssl/evp.h>

struct Sha256::Context
{
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : m_context(std::make_unique<Context>())
{
    EVP_DigestInit_ex(m_context->md, EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::addData(QByteArrayView bytes)
{
    EVP_DigestUpdate(m_context->md, bytes.data(), size_t(bytes.size()));
}

bool Sha256::addData(QIODevice *device)
{
    QByteArray chunk(1 << 18, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = device->read(chunk.data(), chunk.size())) > 0)
        addData(QByteArrayView(chunk.constData(), got));
    return got == 0;
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->md, digest, &length);
    return QByteArray(reinterpret_cast<const char *>(digest), length).toHex();
}

QByteArray Sha256::hexOf(QByteArrayView bytes)
{
    Sha256 hash;
    hash.addData(bytes);
    return hash.hexResult();
}

bool isEd25519Signature(QByteArrayView publicKey, QByteArrayView message, QByteArrayView signature)
{
    EVP_PKEY *key = EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.data()),
        size_t(publicKey.size()));
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const bool valid =
        key && context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char *>(signature.data()),
                         size_t(signature.size()),
                         reinterpret_cast<const unsigned char *>(message.data()),
                         size_t(message.size())) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}
