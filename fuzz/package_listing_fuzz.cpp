// Feeds arbitrary text to the package listing parser and the checksum header
// reader, and checks what the member rules promise: a member judged safe
// never has an absolute name, and neither its name nor (for a link) its
// target resolves above the package root.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "runtimes/package_listing.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// True when `path`, made lexically normal, stays below `root`.
bool staysBelow(const fs::path& root, const fs::path& path) {
    const fs::path normal = path.lexically_normal();
    const fs::path relative = normal.lexically_relative(root);
    return !relative.empty() && *relative.begin() != "..";
}

void checkSafe(const qzai::PackageEntry& entry) {
    if (qzai::unsafeEntryReason(entry)) return;
    const fs::path root("/root-of-package");
    check(entry.name.empty() || entry.name.front() != '/');
    check(entry.name.empty() || staysBelow(root, root / entry.name));
    const fs::path name(entry.name);
    if (entry.type == 'l') {
        check(entry.linkTarget.empty() || entry.linkTarget.front() != '/');
        check(staysBelow(root, root / name.parent_path() / entry.linkTarget));
    }
    if (entry.type == 'h') check(staysBelow(root, root / entry.linkTarget));
    check(entry.type == '-' || entry.type == 'd' || entry.type == 'l' || entry.type == 'h');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const qzai::PackageListing listing = qzai::parsePackageListing(text);
    for (const auto& entry : listing.entries) checkSafe(entry);

    // The same rules for a single member built straight from the bytes.
    const size_t split = text.find('\n');
    qzai::PackageEntry entry;
    entry.type = text.empty() ? '-' : "-dlhcbps?"[static_cast<unsigned char>(text[0]) % 9];
    entry.mode = "rwxr-xr-x";
    entry.name = text.substr(text.empty() ? 0 : 1, split == std::string::npos ? std::string::npos : split - 1);
    entry.linkTarget = split == std::string::npos ? std::string() : text.substr(split + 1);
    checkSafe(entry);

    const std::string md5 = qzai::normalizeAnnouncedMd5(text);
    for (char c : md5) check(!(c >= 'A' && c <= 'Z'));
    check(md5.empty() || (md5.front() != ' ' && md5.back() != ' '));
    return 0;
}
