// qz::sdk::IntegrationDiagnosticEvent: a problem or notice the plug-in shows
// in the host's event log. Immutable.
#pragma once

#include <string>
#include <utility>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk {

class IntegrationDiagnosticEvent final : public RefCountable<IIntegrationDiagnosticEvent> {
public:
    IntegrationDiagnosticEvent(Level level, std::string caption, std::string description)
        : m_level(level), m_caption(std::move(caption)), m_description(std::move(description)) {}

    Level level() const override { return m_level; }
    const char* caption() const override { return m_caption.c_str(); }
    const char* description() const override { return m_description.c_str(); }

private:
    const Level m_level;
    const std::string m_caption;
    const std::string m_description;
};

}  // namespace qz::sdk
