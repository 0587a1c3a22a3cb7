#include "common/object_type_id.h"

#include "common/text_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Our own table of the common base object types of video analytics: people
// and their parts, vehicles by kind, animals, carried items and hazards. One
// spelling (upper camel case) throughout; lookups ignore case.
const std::array<std::string_view, 36> kBaseObjectTypeNames = {
    "Person", "Face", "Head", "Hand",                                            // people
    "Bicycle", "Car", "Motorcycle", "Bus", "Truck", "Train", "Boat", "Airplane",  // vehicles
    "Van", "Scooter", "Tractor", "Vehicle", "LicensePlate",                       //
    "Animal", "Bird", "Cat", "Dog", "Horse", "Sheep", "Cow", "Bear",              // animals
    "Bag", "Backpack", "Handbag", "Suitcase", "Umbrella", "Bottle", "Knife",      // carried items
    "Gun", "Phone",                                                               //
    "Fire", "Smoke",                                                              // hazards
};

namespace {

bool isAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::string toObjectTypeId(const std::string& className) {
    std::string name = className;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool keep = isAsciiAlnum(c) || c == '_' || (i > 0 && c == '.');
        if (!keep) name[i] = '_';
    }
    for (const std::string_view base : kBaseObjectTypeNames) {
        if (equalsIgnoringAsciiCase(name, base)) return std::string(kBaseObjectTypePrefix) + std::string(base);
    }
    return std::string(kPluginObjectTypePrefix) + name;
}

bool isBaseObjectTypeId(const std::string& typeId) { return typeId.starts_with(kBaseObjectTypePrefix); }

}  // namespace qz::vms_server_plugins::analytics::qzai
