// Responses the plug-in hands the host: SettingsResponse (values, errors,
// settings model), ActionResponse (address to open, message to show) and
// ActiveSettingChangedResponse (both). Built by one thread, then read-only.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "qz/sdk/helpers/ref_countable.h"
#include "qz/sdk/helpers/string.h"
#include "qz/sdk/helpers/string_map.h"

namespace qz::sdk {

class SettingsResponse final : public RefCountable<ISettingsResponse> {
public:
    SettingsResponse() = default;
    explicit SettingsResponse(std::string model) { setModel(std::move(model)); }

    void setValue(const std::string& key, const std::string& value) { ensure(m_values)->setItem(key, value); }
    void setError(const std::string& key, const std::string& error) { ensure(m_errors)->setItem(key, error); }
    void setValues(Ptr<StringMap> values) { m_values = std::move(values); }
    void setErrors(Ptr<StringMap> errors) { m_errors = std::move(errors); }
    void setModel(std::string model) { m_model = makePtr<String>(std::move(model)); }

    const IStringMap* values() const override { return m_values.get(); }
    const IStringMap* errors() const override { return m_errors.get(); }
    const IString* model() const override { return m_model.get(); }

private:
    static StringMap* ensure(Ptr<StringMap>& map) {
        if (!map) map = makePtr<StringMap>();
        return map.get();
    }

    Ptr<StringMap> m_values;
    Ptr<StringMap> m_errors;
    Ptr<String> m_model;
};

class ActionResponse final : public RefCountable<IActionResponse> {
public:
    ActionResponse() = default;
    ActionResponse(std::string actionUrl, std::string messageToUser)
        : m_actionUrl(std::move(actionUrl)), m_messageToUser(std::move(messageToUser)) {}

    void setActionUrl(std::string url) { m_actionUrl = std::move(url); }
    void setMessageToUser(std::string message) { m_messageToUser = std::move(message); }
    void setUseProxy(bool value) { m_useProxy = value; }
    void setUseDeviceCredentials(bool value) { m_useDeviceCredentials = value; }

    const char* actionUrl() const override { return m_actionUrl.c_str(); }
    const char* messageToUser() const override { return m_messageToUser.c_str(); }
    bool useProxy() const override { return m_useProxy; }
    bool useDeviceCredentials() const override { return m_useDeviceCredentials; }

private:
    std::string m_actionUrl;
    std::string m_messageToUser;
    bool m_useProxy = false;
    bool m_useDeviceCredentials = false;
};

class ActiveSettingChangedResponse final : public RefCountable<IActiveSettingChangedResponse> {
public:
    void setActionResponse(Ptr<const IActionResponse> response) { m_action = std::move(response); }
    void setSettingsResponse(Ptr<const ISettingsResponse> response) { m_settings = std::move(response); }

    const IActionResponse* actionResponse() const override { return m_action.get(); }
    const ISettingsResponse* settingsResponse() const override { return m_settings.get(); }

private:
    Ptr<const IActionResponse> m_action;
    Ptr<const ISettingsResponse> m_settings;
};

}  // namespace qz::sdk
