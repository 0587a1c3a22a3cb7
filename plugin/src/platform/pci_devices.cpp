#include "platform/pci_devices.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// The value of one attribute file; EINVAL when it holds no hex number.
std::optional<uint32_t> readHexFile(const std::string& path, int* error) {
    errno = 0;
    std::ifstream in(path);
    if (!in) {
        if (error) *error = errno ? errno : ENOENT;
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto value = parseSysfsHex(text);
    if (!value && error) *error = EINVAL;
    return value;
}

}  // namespace

std::optional<uint32_t> parseSysfsHex(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (const char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

std::string formatPciKeyName(uint32_t vendor, uint32_t device, uint32_t subsystemVendor, uint32_t subsystemDevice,
                             uint32_t revision) {
    char name[64];
    std::snprintf(name, sizeof(name), "VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", vendor, device, subsystemDevice,
                  subsystemVendor, revision);
    return name;
}

PciDeviceListing listPciDevices(const std::string& root) {
    PciDeviceListing listing;
    const std::string folder = root + (root.empty() || root.back() != '/' ? "/" : "") + "sys/bus/pci/devices";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        listing.openError = errno;
        return listing;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());

    for (const auto& name : names) {
        const std::string device = folder + "/" + name + "/";
        PciDeviceEntry entry;
        const auto vendor = readHexFile(device + "vendor", &entry.error);
        if (!vendor) {
            listing.entries.push_back(entry);
            continue;
        }
        // The other attributes only describe the device further; a missing one reads as 0.
        auto other = [&](const char* file) { return readHexFile(device + file, nullptr).value_or(0); };
        entry.name = formatPciKeyName(*vendor, other("device"), other("subsystem_vendor"), other("subsystem_device"),
                                      other("revision"));
        listing.entries.push_back(std::move(entry));
    }
    return listing;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
