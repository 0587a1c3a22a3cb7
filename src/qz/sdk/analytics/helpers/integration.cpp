#include "qz/sdk/analytics/helpers/integration.h"

#include "qz/sdk/helpers/hook_call.h"
#include "qz/sdk/helpers/string.h"

namespace qz::sdk::analytics {

void Integration::manifest(Result<const IString*>* outResult) const {
    callHook(logPrefix(), "IIntegration::manifest", outResult,
        [&]() -> Result<const IString*> { return newString(manifestString()); });
}

void Integration::setUtilityProvider(IUtilityProvider* utilityProvider) {
    if (!utilityProvider) sdkLog(logPrefix(), "IIntegration::setUtilityProvider: null provider");
    UtilityProvider provider(Ptr<IUtilityProvider>::share(utilityProvider));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_utilityProvider = std::move(provider);
}

void Integration::obtainEngine(Result<IEngine*>* outResult) {
    callHook(logPrefix(), "IIntegration::obtainEngine", outResult, [&] { return doObtainEngine(); });
}

UtilityProvider Integration::utilityProvider() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_utilityProvider;
}

}  // namespace qz::sdk::analytics
