// Test-side crypto: what the model repository does to a model before the
// plug-in downloads it (AES-256-GCM under a random key), so tests and the
// main job can serve encrypted models; and the checksum a package repository
// announces. Stateless and thread-safe; failures throw std::runtime_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qz::test_host {

// `count` bytes from the OpenSSL random generator.
std::vector<uint8_t> randomBytes(size_t count);

// 12-byte random IV | ciphertext | 16-byte tag, the layout the plug-in
// decrypts. The key must hold 32 bytes.
std::vector<uint8_t> encryptAes256Gcm(const std::vector<uint8_t>& key, const std::string& plain);

// Standard base64 with padding, as keys travel in headers.
std::string base64Encode(const std::vector<uint8_t>& bytes);

// MD5 of the bytes as 32 lower-case hex characters, as repositories announce
// a package's checksum.
std::string md5Hex(const std::string& bytes);

}  // namespace qz::test_host
