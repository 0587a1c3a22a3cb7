// HandlerSlot<IHandler>: the host's handler of an engine or device agent.
//
// One mutex guards the handler and is held while it is called, so calls
// reach the host one at a time; a handler must not call setHandler of the
// same object from inside a call. Thread-safe.
#pragma once

#include <mutex>
#include <string>

#include "qz/sdk/helpers/integration_diagnostic_event.h"
#include "qz/sdk/helpers/log.h"
#include "qz/sdk/helpers/string.h"

namespace qz::sdk {

template <class IHandler>
class HandlerSlot {
public:
    void set(IHandler* handler) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handler = Ptr<IHandler>::share(handler);
    }

    // Runs call(handler) under the mutex; false when no handler is set.
    template <class Call>
    bool call(Call&& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_handler) return false;
        call(m_handler.get());
        return true;
    }

private:
    std::mutex m_mutex;
    Ptr<IHandler> m_handler;
};

// Hands the manifest / diagnostic event to the handler; false with a log
// line when no handler is set.
template <class IHandler>
bool pushManifestTo(HandlerSlot<IHandler>& slot, const std::string& prefix, const std::string& manifest) {
    auto text = makePtr<String>(manifest);
    if (slot.call([&](IHandler* handler) { handler->pushManifest(text.get()); })) return true;
    sdkLog(prefix, "pushManifest: no handler set; manifest dropped");
    return false;
}

template <class IHandler>
bool pushDiagnosticEventTo(HandlerSlot<IHandler>& slot, const std::string& prefix,
    IIntegrationDiagnosticEvent::Level level, const std::string& caption, const std::string& description) {
    auto event = makePtr<IntegrationDiagnosticEvent>(level, caption, description);
    if (slot.call([&](IHandler* handler) { handler->handleIntegrationDiagnosticEvent(event.get()); })) return true;
    sdkLog(prefix, "diagnostic event \"%s\" dropped: no handler set", caption.c_str());
    return false;
}

}  // namespace qz::sdk
