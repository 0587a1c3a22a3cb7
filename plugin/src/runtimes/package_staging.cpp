#include "runtimes/package_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStagingPrefix = ".staging-";

std::atomic<unsigned> g_stagingCounter{0};

std::string relativeName(const fs::path& root, const fs::path& path) {
    return path.lexically_relative(root).generic_string();
}

// The children of a folder, read before any of them moves.
std::vector<fs::path> childrenOf(const fs::path& folder, std::error_code& ec) {
    std::vector<fs::path> children;
    for (const auto& child : fs::directory_iterator(folder, ec)) children.push_back(child.path());
    return children;
}

bool moveEntry(const fs::path& from, const fs::path& to, std::string* error) {
    std::error_code ec;
    const fs::file_status source = fs::symlink_status(from, ec);
    if (ec) {
        *error = from.string() + ": " + ec.message();
        return false;
    }
    const fs::file_status existing = fs::symlink_status(to, ec);
    const bool destinationIsFolder = !ec && fs::is_directory(existing);
    if (fs::is_directory(source) && destinationIsFolder) {
        const auto children = childrenOf(from, ec);
        if (ec) {
            *error = from.string() + ": " + ec.message();
            return false;
        }
        for (const auto& child : children) {
            if (!moveEntry(child, to / child.filename(), error)) return false;
        }
        return true;
    }
    if (fs::is_directory(source) && fs::exists(existing)) {
        // A file or link where the package has a folder: the link itself goes.
        fs::remove(to, ec);
        if (ec) {
            *error = to.string() + ": " + ec.message();
            return false;
        }
    }
    // rename() replaces a file or link at the destination without following it.
    fs::rename(from, to, ec);
    if (ec) {
        *error = to.string() + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace

std::string createStagingFolder(const std::string& runtimeFolder, std::string* error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = fs::path(runtimeFolder) / (std::string(kStagingPrefix) + std::to_string(::getpid()) +
                                                          "-" + std::to_string(g_stagingCounter++));
        std::error_code ec;
        if (fs::create_directory(path, ec)) return path.string();
        if (ec) {
            *error = ec.message();
            return {};
        }
    }
    *error = "no free staging folder name";
    return {};
}

void removeInstallationLeftovers(const std::string& runtimeFolder, const std::string& cacheFolder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(runtimeFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kStagingPrefix, 0) == 0) {
            std::error_code removeError;
            fs::remove_all(entry.path(), removeError);
        }
    }
    for (const auto& entry : fs::directory_iterator(cacheFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) {
            std::error_code removeError;
            fs::remove(entry.path(), removeError);
        }
    }
}

std::optional<RefusedEntry> findUnsafeStagedEntry(const std::string& stagingFolder) {
    const fs::path root(stagingFolder);
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec) return RefusedEntry{".", ec.message()};
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string name = relativeName(root, path);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return RefusedEntry{name, "cannot be examined"};
        if (S_ISLNK(info.st_mode)) {
            std::error_code linkError;
            const fs::path target = fs::read_symlink(path, linkError);
            if (linkError) return RefusedEntry{name, linkError.message()};
            const fs::path folder = path.parent_path().lexically_relative(root);
            if (!linkStaysInside(folder.generic_string(), target.string())) {
                return RefusedEntry{name, "symbolic link leaving the package"};
            }
            continue;
        }
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return RefusedEntry{name, "device, fifo or socket"};
        if (info.st_mode & (S_ISUID | S_ISGID)) return RefusedEntry{name, "setuid or setgid mode"};
    }
    if (ec) return RefusedEntry{".", ec.message()};
    return std::nullopt;
}

std::optional<std::string> findMissingStagedEntry(const std::string& stagingFolder, const PackageListing& listing) {
    const fs::path root(stagingFolder);
    for (const auto& entry : listing.entries) {
        if (entry.name.empty()) continue;
        struct stat info {};
        const fs::path path = root / entry.name;
        if (::lstat(path.c_str(), &info) != 0) return entry.name;
        bool complete = true;
        switch (entry.type) {
            case '-': complete = S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) == entry.size; break;
            case 'h': complete = S_ISREG(info.st_mode); break;
            case 'd': complete = S_ISDIR(info.st_mode); break;
            case 'l': complete = S_ISLNK(info.st_mode); break;
            default: complete = false;
        }
        if (!complete) return entry.name;
    }
    return std::nullopt;
}

bool mergeStagedTree(const std::string& stagingFolder, const std::string& target, const std::string& lastEntry,
                     std::string* error) {
    const fs::path from(stagingFolder);
    const fs::path to(target);
    std::error_code ec;
    const auto children = childrenOf(from, ec);
    if (ec) {
        *error = from.string() + ": " + ec.message();
        return false;
    }
    bool hasLast = false;
    for (const auto& child : children) {
        const std::string name = child.filename().string();
        if (name == lastEntry) {
            hasLast = true;
            continue;
        }
        if (!moveEntry(child, to / name, error)) return false;
    }
    return !hasLast || moveEntry(from / lastEntry, to / lastEntry, error);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
