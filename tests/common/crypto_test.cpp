// Crypto and file helpers against independent references: a published
// AES-GCM vector, the openssl and md5sum command line tools, RFC 4648 base64.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "common/file_utils.h"
#include "common/run_command.h"
#include "common/qzai_crypto.h"
#include "support/temp_dir.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string bytesToString(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Test-side encryptor: IV + ciphertext + tag, the layout the plug-in reads.
std::string encryptGcm(const std::vector<uint8_t>& key, const std::vector<uint8_t>& iv, const std::string& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(iv.begin(), iv.end());
    std::vector<unsigned char> buffer(plain.size() + 16);
    int n = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr);
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), iv.data());
    EVP_EncryptUpdate(ctx, buffer.data(), &n, reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    out.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n));
    EVP_EncryptFinal_ex(ctx, buffer.data(), &n);
    unsigned char tag[16];
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
    EVP_CIPHER_CTX_free(ctx);
    return out + std::string(reinterpret_cast<char*>(tag), 16);
}

bool onlyEntryIs(const std::filesystem::path& dir, const std::string& name) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename() != name) return false;
        ++count;
    }
    return count == 1;
}

}  // namespace

// McGrew & Viega GCM test case 14: AES-256, zero key, zero IV, one zero block.
TEST(AesGcmFile, DecryptsPublishedVector) {
    qz::test::TempDir dir;
    const auto key = fromHex(std::string(64, '0'));
    const std::string file = std::string(12, '\0') + bytesToString(fromHex("cea7403d4d606b6e074ec5d3baf39d18")) +
                             bytesToString(fromHex("d0d1c8a799996bf0265b98b5d48ab919"));
    const std::string in = dir.write("model.enc", file);
    const std::string out = dir.file("model.bin");
    ASSERT_TRUE(qzai::decryptFileAes256Gcm(key.data(), in, out));
    EXPECT_EQ(qzai::readTextFile(out), std::string(16, '\0'));
}

TEST(AesGcmFile, DecryptsMultiBlockFileAndReplacesOutput) {
    qz::test::TempDir dir;
    const auto key = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const auto iv = fromHex("cafebabefacedbaddecaf888");
    std::string plain;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i) plain.push_back(static_cast<char>(i * 31));
    const std::string in = dir.write("big.enc", encryptGcm(key, iv, plain));
    const std::string out = dir.write("big.bin", "old contents");
    ASSERT_TRUE(qzai::decryptFileAes256Gcm(key.data(), in, out));
    EXPECT_EQ(qzai::readTextFile(out), plain);
    // Empty plaintext (exactly 28 bytes of input) is valid.
    const std::string empty = dir.write("empty.enc", encryptGcm(key, iv, ""));
    ASSERT_TRUE(qzai::decryptFileAes256Gcm(key.data(), empty, out));
    EXPECT_EQ(qzai::readTextFile(out), std::string());
}

TEST(AesGcmFile, RejectsBadInputAndLeavesNoOutput) {
    qz::test::TempDir dir;
    const auto key = fromHex(std::string(64, 'a'));
    const auto iv = fromHex("000000000000000000000001");
    std::string good = encryptGcm(key, iv, "secret model bytes");
    std::string flippedTag = good;
    flippedTag.back() = static_cast<char>(flippedTag.back() ^ 0x01);
    std::string flippedBody = good;
    flippedBody[14] = static_cast<char>(flippedBody[14] ^ 0x80);
    const auto wrongKey = fromHex(std::string(64, 'b'));

    struct Case {
        const char* name;
        std::string input;  // empty: no input file
        const uint8_t* key;
    } cases[] = {
        {"flipped tag bit", flippedTag, key.data()},
        {"flipped ciphertext bit", flippedBody, key.data()},
        {"27 bytes", good.substr(0, 27), key.data()},
        {"missing file", "", key.data()},
        {"wrong key", good, wrongKey.data()},
        {"null key", good, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = c.input.empty() ? dir.file("missing.enc") : dir.write("in.enc", c.input);
        const std::string out = dir.write("out.bin", "stale plaintext");
        EXPECT_FALSE(qzai::decryptFileAes256Gcm(c.key, in, out));
        EXPECT_FALSE(qzai::fileExists(out));
        EXPECT_TRUE(c.input.empty() ? std::filesystem::is_empty(dir.path()) : onlyEntryIs(dir.path(), "in.enc"));
        std::filesystem::remove(in);
    }
}

TEST(Md5, MatchesMd5sumAndKnownDigests) {
    EXPECT_EQ(qzai::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(qzai::md5Hex("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");

    qz::test::TempDir dir;
    std::string content;
    for (int i = 0; i < 2 * 1024 * 1024 + 5; ++i) content.push_back(static_cast<char>(i % 251));
    const std::string path = dir.write("blob.bin", content);
    const auto reference = qzai::runCommandCaptureOutput("md5sum \"" + path + "\"");
    ASSERT_EQ(reference.exitCode, 0);
    EXPECT_EQ(qzai::fileMd5Hex(path), reference.output.substr(0, 32));
    EXPECT_EQ(qzai::md5Hex(content), reference.output.substr(0, 32));
    EXPECT_EQ(qzai::fileMd5Hex(dir.file("absent")), "");
}

TEST(Base64, DecodesRfc4648VectorsAndRejectsMalformedText) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"}, {" Zm9v\nYmFy\r\n", "foobar"}, {"/+8=", "\xff\xef"},
    };
    for (const auto& [encoded, decoded] : vectors) {
        const auto result = qzai::base64Decode(encoded);
        ASSERT_TRUE(result) << encoded;
        EXPECT_EQ(bytesToString(*result), decoded) << encoded;
    }
    for (const char* bad : {"Zg=", "Zg=a", "Z===", "Zm9v!A==", "Zm9vY"}) {
        EXPECT_FALSE(qzai::base64Decode(bad)) << bad;
    }
}

TEST(AesGcmFile, NeverWritesThroughALinkSwappedInForItsTemporary) {
    // Another process of the same user turns every temporary the moment it
    // appears into a link to a file of its choice, while models are decrypted.
    qz::test::TempDir dir, elsewhere;
    const auto key = fromHex(std::string(64, 'c'));
    const std::string plain(1 << 20, 'p');
    const std::string in = elsewhere.write("model.enc", encryptGcm(key, fromHex("000000000000000000000002"), plain));
    const std::string victim = elsewhere.write("victim", "untouched");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> swapped{0};
    std::thread swapper([&] {
        alignas(inotify_event) char events[4096];
        while (!stop) {
            const ssize_t n = ::read(watch, events, sizeof events);
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string path = (dir.path() / event->name).string();
                if (path.find(".tmp-") == std::string::npos) continue;
                if (::unlink(path.c_str()) == 0 && ::symlink(victim.c_str(), path.c_str()) == 0) ++swapped;
            }
        }
    });
    const std::string out = dir.file("model.bin");
    for (int i = 0; i < 200 && qzai::readTextFile(victim) == "untouched"; ++i) {
        // Whatever it answers, a success is the model itself in a file of its own.
        if (qzai::decryptFileAes256Gcm(key.data(), in, out)) {
            EXPECT_FALSE(std::filesystem::is_symlink(out));
            EXPECT_EQ(qzai::readTextFile(out), plain);
        }
    }
    stop = true;
    swapper.join();
    ::close(watch);
    EXPECT_EQ(qzai::readTextFile(victim), "untouched");
    EXPECT_GT(swapped.load(), 0);  // the race was run
}

TEST(FileHelpers, ReadExistDelete) {
    qz::test::TempDir dir;
    const std::string path = dir.write("a.txt", std::string("x\0y", 3));
    EXPECT_TRUE(qzai::fileExists(path));
    EXPECT_EQ(qzai::readTextFile(path)->size(), 3u);
    EXPECT_EQ(*qzai::readBinaryFile(path), (std::vector<uint8_t>{'x', 0, 'y'}));
    EXPECT_FALSE(qzai::readTextFile(dir.file("none")));
    EXPECT_FALSE(qzai::readBinaryFile(dir.file("none")));
    // A directory opens but cannot be read: an empty result, not an exception.
    EXPECT_FALSE(qzai::readTextFile(dir.path().string()));
    EXPECT_FALSE(qzai::readBinaryFile(dir.path().string()));
    qzai::deleteFile(path);
    EXPECT_FALSE(qzai::fileExists(path));
    qzai::deleteFile(path);  // missing: nothing to do

    // A failure is logged as one whole line.
    std::filesystem::create_directories(dir.path() / "full");
    dir.write("full/inner.txt", "x");
    testing::internal::CaptureStderr();
    qzai::deleteFile(dir.file("full"));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Warning! Could not delete file: " + dir.file("full") + " (Error: "), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(")\n")) << log;
}
