#include "Sha256.h"

#include <openssl/evp.h>

void Sha256::Free::operator()(evp_md_ctx_st* ctx) const
{
    EVP_MD_CTX_free(ctx);
}

Sha256::Sha256()
    : _ctx(EVP_MD_CTX_new())
{
    if (_ctx && EVP_DigestInit_ex(_ctx.get(), EVP_sha256(), nullptr) != 1)
        _ctx.reset();
}

Sha256::~Sha256() = default;

void Sha256::addData(QByteArrayView data)
{
    if (_ctx && EVP_DigestUpdate(_ctx.get(), data.data(), size_t(data.size())) != 1)
        _ctx.reset();
}

QByteArray Sha256::result()
{
    // A context that failed to start or to take data yields no digest, which
    // matches none.
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (!_ctx || EVP_DigestFinal_ex(_ctx.get(), reinterpret_cast<unsigned char*>(digest.data()), &size) != 1)
        return {};
    _ctx.reset();
    digest.resize(int(size));
    return digest;
}
