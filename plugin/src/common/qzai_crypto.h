// Crypto helpers over OpenSSL EVP: base64 block decoding, MD5 and AES-256-GCM
// file decryption. Plain functions (thread-safe) and one digest object (one
// thread at a time); none of them throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// Decodes standard base64 text ('=' padding required, whitespace ignored);
// empty optional on bad input.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text);

// MD5 digest as 32 lower-case hex characters.
std::string md5Hex(const uint8_t* data, size_t size);
std::string md5Hex(const std::string& data);
// MD5 of a file's bytes, read in blocks; empty when the file cannot be read.
std::string md5HexOfFile(const std::string& path);

// An MD5 digest fed piece by piece, for bytes that pass by once (a download
// being written).
class Md5Stream {
public:
    Md5Stream();
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;
    void update(const void* data, size_t size);
    // The digest of everything fed, as md5Hex gives it; ends the stream.
    // Empty when a step failed or it was already ended.
    std::string finish();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
    bool m_ok = false;
};

// Decrypts a file laid out as a 12-byte IV, the ciphertext and a 16-byte tag
// (AES-256-GCM, no additional data) into outputPath, replacing it. The
// plaintext goes to a temporary file beside outputPath that is renamed only
// after the tag verifies. False on any failure (null key, input shorter than
// 28 bytes, tag mismatch, file or cipher error); outputPath then does not
// exist, so it never holds unauthenticated or stale data.
bool decryptFileAes256Gcm(const uint8_t* key32, const std::string& inputPath, const std::string& outputPath);

}  // namespace qz::vms_server_plugins::analytics::qzai
