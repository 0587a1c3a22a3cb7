#include "common/qzai_crypto.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common/file_utils.h"
#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr size_t kIvBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr size_t kBlockBytes = 1 << 20;

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

std::string toHex(const unsigned char* bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 0x0f]);
    }
    return hex;
}

// Feeds the bytes that `read` supplies into an MD5 digest; empty on failure.
template <class ReadBlock>
std::string md5Digest(ReadBlock&& read) {
    Md5Stream stream;
    const bool fed = read([&](const void* data, size_t size) { stream.update(data, size); });
    std::string digest = stream.finish();
    return fed ? digest : std::string();
}

// A unique name beside `target` for the not-yet-verified plaintext.
std::filesystem::path temporaryPathBeside(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    return target.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

bool decryptInto(const uint8_t* key32, std::ifstream& in, uint64_t inputSize, OwnerOnlyFile& out) {
    unsigned char iv[kIvBytes];
    unsigned char tag[kTagBytes];
    in.seekg(static_cast<std::streamoff>(inputSize - kTagBytes));
    in.read(reinterpret_cast<char*>(tag), kTagBytes);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(iv), kIvBytes);
    if (!in) return false;

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvBytes, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key32, iv) != 1) {
        return false;
    }

    std::vector<unsigned char> input(kBlockBytes);
    std::vector<unsigned char> output(kBlockBytes + EVP_MAX_BLOCK_LENGTH);
    uint64_t remaining = inputSize - kIvBytes - kTagBytes;
    while (remaining > 0) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(remaining, kBlockBytes));
        if (!in.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(chunk))) return false;
        int produced = 0;
        if (EVP_DecryptUpdate(ctx.get(), output.data(), &produced, input.data(), static_cast<int>(chunk)) != 1) {
            return false;
        }
        if (!out.write(output.data(), static_cast<size_t>(produced))) return false;
        remaining -= chunk;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1) return false;
    int produced = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), output.data(), &produced) != 1) return false;
    return out.write(output.data(), static_cast<size_t>(produced));
}

}  // namespace

std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
    std::string compact;
    compact.reserve(text.size());
    for (const char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) compact.push_back(c);
    }
    if (compact.size() % 4 != 0) return std::nullopt;
    if (compact.empty()) return std::vector<uint8_t>{};
    // '=' may only end the text, at most twice.
    const size_t firstPad = compact.find('=');
    size_t padding = 0;
    if (firstPad != std::string::npos) {
        padding = compact.size() - firstPad;
        if (padding > 2 || compact.find_first_not_of('=', firstPad) != std::string::npos) return std::nullopt;
    }
    std::vector<uint8_t> decoded(compact.size() / 4 * 3);
    const int length = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                       static_cast<int>(compact.size()));
    if (length < 0 || static_cast<size_t>(length) != decoded.size()) return std::nullopt;
    decoded.resize(decoded.size() - padding);
    return decoded;
}

std::string md5Hex(const uint8_t* data, size_t size) {
    return md5Digest([&](auto&& feed) {
        feed(data, size);
        return true;
    });
}

std::string md5Hex(const std::string& data) {
    return md5Hex(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::string md5HexOfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return md5Digest([&](auto&& feed) {
        std::vector<char> block(kBlockBytes);
        while (in) {
            in.read(block.data(), static_cast<std::streamsize>(block.size()));
            if (in.gcount() > 0) feed(block.data(), static_cast<size_t>(in.gcount()));
        }
        return !in.bad();
    });
}

struct Md5Stream::Context {
    MdCtx ctx{EVP_MD_CTX_new()};
};

Md5Stream::Md5Stream() : m_context(std::make_unique<Context>()) {
    m_ok = m_context->ctx && EVP_DigestInit_ex(m_context->ctx.get(), EVP_md5(), nullptr) == 1;
}

Md5Stream::~Md5Stream() = default;

void Md5Stream::update(const void* data, size_t size) {
    m_ok = m_ok && EVP_DigestUpdate(m_context->ctx.get(), data, size) == 1;
}

std::string Md5Stream::finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = m_ok && EVP_DigestFinal_ex(m_context->ctx.get(), digest, &length) == 1;
    m_ok = false;
    return ok ? toHex(digest, length) : std::string();
}

bool decryptFileAes256Gcm(const uint8_t* key32, const std::string& inputPath, const std::string& outputPath) {
    std::error_code ec;
    std::filesystem::remove(outputPath, ec);
    if (!key32) return false;
    const uint64_t inputSize = std::filesystem::file_size(inputPath, ec);
    if (ec) {
        logMessage("Error! Could not read encrypted file %s: %s\n", inputPath.c_str(), ec.message().c_str());
        return false;
    }
    if (inputSize < kIvBytes + kTagBytes) {
        logMessage("Error! Encrypted file %s is too short (%llu bytes).\n", inputPath.c_str(),
                   static_cast<unsigned long long>(inputSize));
        return false;
    }
    std::ifstream in(inputPath, std::ios::binary);
    if (!in) {
        logMessage("Error! Could not open encrypted file %s\n", inputPath.c_str());
        return false;
    }
    const std::filesystem::path temporary = temporaryPathBeside(outputPath);
    bool ok = false;
    {
        // A decrypted model is the owner's alone from its first byte.
        OwnerOnlyFile out(temporary.string());
        if (!out.isOpen()) {
            logMessage("Error! Could not create %s\n", temporary.c_str());
            return false;
        }
        if (!decryptInto(key32, in, inputSize, out)) {
            logMessage("Error! Decryption of %s failed (wrong key or corrupted file).\n", inputPath.c_str());
        } else {
            ok = out.moveTo(outputPath);
            if (!ok) logMessage("Error! Could not move decrypted file to %s\n", outputPath.c_str());
        }
    }
    if (!ok) std::filesystem::remove(temporary, ec);
    return ok;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
