// qz::sdk::analytics::Integration: the base class of the plug-in object
// (IIntegration) that createQzPlugin returns.
//
// The host hands it the utility provider, reads the manifest and obtains the
// engine. Derived classes implement the hooks:
//   manifestString()  - the integration manifest (JSON text);
//   doObtainEngine()  - a new engine with one reference for the host, or an
//                       error.
// Exceptions from hooks are logged and reported as internalError. The utility
// provider may be read from any thread.
#pragma once

#include <mutex>
#include <string>

#include "qz/sdk/helpers/ref_countable.h"
#include "qz/sdk/helpers/utility_provider.h"

namespace qz::sdk::analytics {

class Integration : public RefCountable<IIntegration> {
public:
    void manifest(Result<const IString*>* outResult) const override;
    void setUtilityProvider(IUtilityProvider* utilityProvider) override;
    void obtainEngine(Result<IEngine*>* outResult) override;

    // What the host offers; empty until the host has set it.
    UtilityProvider utilityProvider() const;

protected:
    Integration() = default;

    virtual std::string manifestString() const = 0;
    virtual Result<IEngine*> doObtainEngine() = 0;

private:
    mutable std::mutex m_mutex;
    UtilityProvider m_utilityProvider;
};

}  // namespace qz::sdk::analytics
