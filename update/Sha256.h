#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

struct evp_md_ctx_st;

// Incremental SHA-256 on OpenSSL, which uses the processor's SHA instructions
// where it has them: several times the speed of Qt's own implementation, so
// checking an installer as it streams in does not slow its download.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void addData(QByteArrayView data);
    // The 32-byte digest of everything added; ends the hashing.
    QByteArray result();

private:
    struct Free
    {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> _ctx;
};
