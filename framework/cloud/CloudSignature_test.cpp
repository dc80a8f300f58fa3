// The request signature against vectors made with `openssl dgst -sha1 -hmac KEY -binary | base64`, and Qt's
// Base64 and HMAC-SHA1 against the link layer's own.
#include "cloud/CloudSignature.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <cstdlib>

#include "cloud/CloudSecrets.h"
#include "link/base64.h"
#include "link/sha1.h"

namespace {

const QString kBase = QStringLiteral("https://cloud.test");

struct SigCase {
    const char *method;
    const char *url;             // as the client forms it, before "ssig" is appended
    const char *signedResource;  // what the signature covers
    const char *fullBase64;      // openssl dgst -sha1 -hmac 0b7e2c9d4a61f8e3b5d07c2a9e4f163 -binary | base64
    const char *ssig;            // the query value
};

const SigCase kSigCases[] = {
    {"POST", "https://cloud.test/OAuth/authorize", "/OAuth/authorize?AppId=e47b0d2c83a5f916",
     "QurrWlxzBwlO1FXVW+B8zGvz4TU=", "lxzBwlO1FX"},
    {"POST", "https://cloud.test/OAuth/getAccessToken", "/OAuth/getAccessToken?AppId=e47b0d2c83a5f916",
     "y5TlOqxSHQinGzWHBfLVrp0KU0A=", "qxSHQinGzW"},
    // Already holds "?AppId=": signed unchanged.
    {"POST", "https://cloud.test/api/app/getDeviceInfoByBC?AppId=e47b0d2c83a5f916&BC=BIND-0001",
     "/api/app/getDeviceInfoByBC?AppId=e47b0d2c83a5f916&BC=BIND-0001",
     "wImxWtmAAX58jnKdvouPQS5QztY=", "tmAAX58jnK"},
    // A window holding "+" and "/".
    {"POST", "https://cloud.test/api/app/getDeviceInfoByBC?AppId=e47b0d2c83a5f916&BC=BC00024",
     "/api/app/getDeviceInfoByBC?AppId=e47b0d2c83a5f916&BC=BC00024",
     "FuwQfe+xKwd/tt9Ynd/lfM0t/oI=", "e%2BxKwd%2Ftt9"},
    // Neither base: the whole text is the resource.
    {"GET", "/x", "/x?AppId=e47b0d2c83a5f916", "JVZQWYZwlBSCE2bGsAPbyB/R1O8=", "YZwlBSCE2b"},
};

TEST(CloudSignature, MatchesOpensslVectors) {
    for (const auto &c : kSigCases) {
        SCOPED_TRACE(c.url);
        const QString method = QString::fromLatin1(c.method);
        const QString type = method == QLatin1String("GET") ? QString() : QStringLiteral("application/json");
        EXPECT_EQ(cloud::signedResource(QString::fromLatin1(c.url), kBase, kBase,
                                        QString::fromLatin1(cloud::appId())),
                  QString::fromLatin1(c.signedResource));
        const QString text = method + "\n\n" + type + "\n\n" + QString::fromLatin1(c.signedResource);
        EXPECT_EQ(cloud::serviceSsig(text), QString::fromLatin1(c.fullBase64).mid(5, 10));
        EXPECT_EQ(cloud::requestSsig(method, QString::fromLatin1(c.url), type, kBase, kBase),
                  QString::fromLatin1(c.ssig));
    }
}

TEST(CloudSignature, PercentEncodesExactlyItsSet) {
    EXPECT_EQ(cloud::percentEncodeSsig(QStringLiteral("?!@#$^&%*+,:;='\"`<>()[]{}/\\| ")),
              QStringLiteral(
                  "%3F%21%40%23%24%5E%26%25%2A%2B%2C%3A%3B%3D%27%22%60%3C%3E%28%29%5B%5D%7B%7D%2F%5C%7C%20"));
    EXPECT_EQ(cloud::percentEncodeSsig(QStringLiteral("AZaz09-._~é")), QStringLiteral("AZaz09-._~é"));
}

TEST(CloudSignature, OauthBaseWinsOverAccountBase) {
    const QString oauth = QStringLiteral("https://o.test"), account = QStringLiteral("https://a.test");
    EXPECT_EQ(cloud::signedResource(QStringLiteral("https://a.test/p?AppId=1"), oauth, account,
                                    QStringLiteral("9")),
              QStringLiteral("/p?AppId=1"));
    EXPECT_EQ(cloud::signedResource(QStringLiteral("https://o.test/q"), oauth, account, QStringLiteral("9")),
              QStringLiteral("/q?AppId=9"));
}

QByteArray linkHmac(const QByteArray &key, const QByteArray &msg) {
    unsigned char out[1024];
    size_t len = sizeof out;
    hmac_sha1(key.constData(), static_cast<size_t>(key.size()), msg.constData(),
              static_cast<size_t>(msg.size()), out, &len);
    return QByteArray(reinterpret_cast<const char *>(out), static_cast<qsizetype>(len));
}

QByteArray linkBase64(const QByteArray &in) {
    size_t len = 0;
    char *text = base64_encode(&len, static_cast<size_t>(in.size()), in.constData());
    QByteArray out(text);
    std::free(text);
    return out;
}

// RFC 2202, HMAC-SHA1 test cases 1-7.
TEST(CloudSignature, QtHmacAndBase64EqualTheLinkLayersOnRfc2202) {
    struct Rfc {
        QByteArray key, data;
        const char *hex;
    };
    const Rfc cases[] = {
        {QByteArray(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {QByteArray(20, '\xaa'), QByteArray(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {QByteArray::fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), QByteArray(50, '\xcd'),
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {QByteArray(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {QByteArray(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {QByteArray(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto &c : cases) {
        const QByteArray qt = QMessageAuthenticationCode::hash(c.data, c.key, QCryptographicHash::Sha1);
        EXPECT_EQ(qt.toHex(), QByteArray(c.hex));
        EXPECT_EQ(linkHmac(c.key, c.data), qt);
        EXPECT_EQ(linkBase64(qt), qt.toBase64());
    }
    QRandomGenerator rng(2026);
    for (int i = 0; i < 200; ++i) {
        QByteArray key(static_cast<qsizetype>(rng.bounded(0, 100)), '\0'), msg(rng.bounded(0, 300), '\0');
        for (auto &b : key) b = static_cast<char>(rng.bounded(256));
        for (auto &b : msg) b = static_cast<char>(rng.bounded(256));
        const QByteArray qt = QMessageAuthenticationCode::hash(msg, key, QCryptographicHash::Sha1);
        ASSERT_EQ(linkHmac(key, msg), qt) << i;
        ASSERT_EQ(linkBase64(msg), msg.toBase64()) << i;
    }
}

}  // namespace
