// qz::sdk::analytics::EventMetadata: one event of an event metadata packet:
// type id, caption, description, active flag, confidence, box, attributes.
#pragma once

#include <string>
#include <utility>

#include "qz/sdk/analytics/helpers/metadata.h"

namespace qz::sdk::analytics {

class EventMetadata final : public Metadata<IEventMetadata> {
public:
    void setCaption(std::string caption) { m_caption = std::move(caption); }
    void setDescription(std::string description) { m_description = std::move(description); }
    void setIsActive(bool isActive) { m_isActive = isActive; }

    const char* caption() const override { return m_caption.c_str(); }
    const char* description() const override { return m_description.c_str(); }
    bool isActive() const override { return m_isActive; }

private:
    std::string m_caption;
    std::string m_description;
    bool m_isActive = false;
};

// A new event: confidence 1.0, box (-1, -1, -1, -1), empty texts, inactive.
inline Ptr<EventMetadata> createEventMetadata() { return makePtr<EventMetadata>(); }

}  // namespace qz::sdk::analytics
