// The machine's PCI devices, from <root>/sys/bus/pci/devices, as key names of
// the form "VEN_10DE&DEV_2204&SUBSYS_147110DE&REV_A1" (hexadecimal, upper
// case: vendor, device, subsystem device then subsystem vendor, revision).
//
// Plain functions; thread-safe; nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

struct PciDeviceEntry {
    std::string name;  // the key name; empty when error is set
    int error = 0;     // errno of a device whose vendor could not be read
};

struct PciDeviceListing {
    int openError = 0;  // errno when the devices folder does not open; no entries then
    std::vector<PciDeviceEntry> entries;  // in the order of the device folder names
};

PciDeviceListing listPciDevices(const std::string& root);

// A sysfs hexadecimal value such as "0x10de\n": optional "0x"/"0X", 1 to 8
// hex digits, optional trailing white space. Empty for anything else.
std::optional<uint32_t> parseSysfsHex(std::string_view text);

// The key name of one device.
std::string formatPciKeyName(uint32_t vendor, uint32_t device, uint32_t subsystemVendor, uint32_t subsystemDevice,
                             uint32_t revision);

}  // namespace qz::vms_server_plugins::analytics::qzai
