// qz::sdk::DeviceInfo: the camera a device agent is obtained for. Immutable.
#pragma once

#include <string>
#include <utility>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk {

struct DeviceInfoFields {
    std::string id;
    std::string name;
    std::string vendor;
    std::string model;
    std::string url;
};

class DeviceInfo final : public RefCountable<IDeviceInfo> {
public:
    explicit DeviceInfo(DeviceInfoFields fields) : m_fields(std::move(fields)) {}

    const char* id() const override { return m_fields.id.c_str(); }
    const char* name() const override { return m_fields.name.c_str(); }
    const char* vendor() const override { return m_fields.vendor.c_str(); }
    const char* model() const override { return m_fields.model.c_str(); }
    const char* url() const override { return m_fields.url.c_str(); }

private:
    const DeviceInfoFields m_fields;
};

}  // namespace qz::sdk
