// Crypto helpers over OpenSSL EVP: base64 block decoding, MD5 and AES-256-GCM
// file decryption. Plain functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// Decodes standard base64 text (whitespace ignored); empty optional on bad input.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text);

// MD5 digest as 32 lower-case hex characters.
std::string md5Hex(const uint8_t* data, size_t size);

// Decrypts a file laid out as a 12-byte IV, the ciphertext and a 16-byte tag
// into outputPath (replacing it). Plaintext reaches outputPath only after the
// tag verifies. False on any failure, with no output left behind.
bool decryptFileAes256Gcm(const uint8_t* key32, const std::string& inputPath, const std::string& outputPath);

}  // namespace qz::vms_server_plugins::analytics::qzai
