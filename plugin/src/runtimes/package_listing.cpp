#include "runtimes/package_listing.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// Splits a relative name into its components, dropping empty ones and ".".
std::vector<std::string> components(const std::string& name) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(name);
    while (std::getline(in, part, '/')) {
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    return parts;
}

bool hasDotDot(const std::string& name) {
    for (const auto& part : components(name)) {
        if (part == "..") return true;
    }
    return false;
}

std::string normalizeName(std::string name) {
    while (name.size() >= 2 && name.compare(0, 2, "./") == 0) name.erase(0, 2);
    if (name == ".") name.clear();
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name;
}

std::optional<PackageEntry> parseLine(const std::string& line) {
    // Type and mode, then owner, size, date and time before the quoted name.
    if (line.size() < 10) return std::nullopt;
    const size_t quote = line.find('"');
    if (quote == std::string::npos) return std::nullopt;
    PackageEntry entry;
    entry.type = line[0];
    entry.mode = line.substr(1, 9);
    std::istringstream fields(line.substr(10, quote - 10));
    std::string owner, size, date, time;
    if (!(fields >> owner >> size >> date >> time)) return std::nullopt;
    if (entry.type == '-' || entry.type == 'h' || entry.type == 'd' || entry.type == 'l') {
        if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        const auto parsed = std::from_chars(size.data(), size.data() + size.size(), entry.size);
        if (parsed.ec != std::errc() || parsed.ptr != size.data() + size.size()) return std::nullopt;
    }
    size_t end = 0;
    const auto name = readCQuoted(line, quote + 1, &end);
    if (!name) return std::nullopt;
    entry.name = normalizeName(*name);
    const std::string rest = line.substr(end);
    if (!rest.empty()) {
        std::string prefix;
        if (rest.compare(0, 5, " -> \"") == 0) prefix = " -> \"";
        else if (rest.compare(0, 10, " link to \"") == 0) prefix = " link to \"";
        else return std::nullopt;
        size_t targetEnd = 0;
        const auto target = readCQuoted(line, end + prefix.size(), &targetEnd);
        if (!target || targetEnd != line.size()) return std::nullopt;
        entry.linkTarget = *target;
    }
    if (entry.type == 'h') entry.linkTarget = normalizeName(entry.linkTarget);
    return entry;
}

}  // namespace

std::optional<std::string> readCQuoted(const std::string& text, size_t begin, size_t* end) {
    std::string out;
    for (size_t i = begin; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            *end = i + 1;
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size()) return std::nullopt;
        const char e = text[i];
        switch (e) {
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'v': out += '\v'; break;
            case '?': out += '?'; break;
            default: {
                if (!isOctal(e)) return std::nullopt;
                int value = 0;
                size_t digits = 0;
                while (digits < 3 && i < text.size() && isOctal(text[i])) {
                    value = value * 8 + (text[i] - '0');
                    ++i;
                    ++digits;
                }
                --i;
                if (value > 255) return std::nullopt;
                out += static_cast<char>(value);
            }
        }
    }
    return std::nullopt;
}

bool readListingLine(std::string line, PackageListing* listing) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // tar's own diagnostics share the output; a member line never starts so.
    if (line.empty() || line.rfind("tar: ", 0) == 0) return true;
    auto entry = parseLine(line);
    if (!entry) {
        if (!listing->unreadableLine) listing->unreadableLine = std::move(line);
        return false;
    }
    listing->entries.push_back(std::move(*entry));
    return true;
}

PackageListing parsePackageListing(const std::string& text) {
    PackageListing listing;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!readListingLine(std::move(line), &listing)) break;
    }
    return listing;
}

std::string memberPath(const std::string& name) {
    std::string path;
    for (const auto& part : components(name)) {
        if (!path.empty()) path += '/';
        path += part;
    }
    return path;
}

uint64_t entryDiskCost(uint64_t size) {
    if (size > UINT64_MAX - kEntryBlockBytes) return UINT64_MAX;
    const uint64_t blocks = size / kEntryBlockBytes + (size % kEntryBlockBytes != 0);
    return std::max<uint64_t>(blocks, 1) * kEntryBlockBytes;
}

std::optional<std::string> symbolicLinkTargetReason(const std::string& target) {
    if (target.empty()) return std::string("symbolic link without a target");
    if (target.front() == '/') return std::string("symbolic link to an absolute path");
    if (hasDotDot(target)) return std::string("symbolic link with a parent-folder component");
    return std::nullopt;
}

bool isInstallerOwnName(const std::string& name) {
    const std::string first = name.substr(0, name.find('/'));
    return first.rfind(kInstalledNameFile, 0) == 0 || first.rfind(kStagingFolderPrefix, 0) == 0;
}

std::optional<std::string> unsafeEntryReason(const PackageEntry& entry) {
    if (!entry.name.empty() && entry.name.front() == '/') return std::string("absolute name");
    if (hasDotDot(entry.name)) return std::string("name with a parent-folder component");
    if (isInstallerOwnName(entry.name)) return std::string("name kept for the installer's own files");
    if (entry.size != 0 && entry.type != '-') {
        const char* kind = entry.type == 'd' ? "folder" : entry.type == 'l' ? "symbolic link" : "hard link";
        return std::string(kind) + " with " + std::to_string(entry.size) + " bytes of data";
    }
    switch (entry.type) {
        case '-':
        case 'd': break;
        case 'l':
            if (const auto reason = symbolicLinkTargetReason(entry.linkTarget)) return reason;
            break;
        case 'h':
            if (entry.linkTarget.empty() || entry.linkTarget.front() == '/' || hasDotDot(entry.linkTarget)) {
                return std::string("hard link leaving the package");
            }
            break;
        case 'c':
        case 'b': return std::string("device node");
        case 'p': return std::string("fifo");
        case 's': return std::string("socket");
        default: return std::string("unsupported member type '") + entry.type + "'";
    }
    if (entry.mode.size() >= 6 && (entry.mode[2] == 's' || entry.mode[2] == 'S' || entry.mode[5] == 's' ||
                                   entry.mode[5] == 'S')) {
        return std::string("setuid or setgid mode");
    }
    return std::nullopt;
}

std::string normalizeAnnouncedMd5(const std::string& header) {
    size_t begin = 0;
    size_t end = header.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(header[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(header[end - 1]))) --end;
    std::string out = header.substr(begin, end - begin);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
