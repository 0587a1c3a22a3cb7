#include "host/test_crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace qz::test_host {

namespace {
constexpr size_t kIvSize = 12;
constexpr size_t kTagSize = 16;
}  // namespace

std::vector<uint8_t> randomBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) throw std::runtime_error("no random bytes");
    return bytes;
}

std::vector<uint8_t> encryptAes256Gcm(const std::vector<uint8_t>& key, const std::string& plain) {
    if (key.size() != 32) throw std::runtime_error("AES-256-GCM needs a 32-byte key");
    std::vector<uint8_t> out = randomBytes(kIvSize);
    out.resize(kIvSize + plain.size() + kTagSize);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int length = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), out.data()) == 1 &&
              EVP_EncryptUpdate(ctx.get(), out.data() + kIvSize, &length,
                                reinterpret_cast<const uint8_t*>(plain.data()), static_cast<int>(plain.size())) == 1;
    ok = ok && EVP_EncryptFinal_ex(ctx.get(), out.data() + kIvSize + length, &length) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, out.data() + kIvSize + plain.size()) == 1;
    if (!ok) throw std::runtime_error("AES-256-GCM encryption failed");
    return out;
}

std::string base64Encode(const std::vector<uint8_t>& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

}  // namespace qz::test_host
