// Metadata<I>: what object and event metadata share: type id, confidence
// (default 1.0), bounding box (default (-1, -1, -1, -1)) and attributes.
// Built by one thread, then handed on; not for concurrent writes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qz/sdk/helpers/attribute.h"
#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk::analytics {

template <class Interface>
class Metadata : public RefCountable<Interface> {
public:
    void setTypeId(std::string typeId) { m_typeId = std::move(typeId); }
    void setConfidence(float confidence) { m_confidence = confidence; }
    void setBoundingBox(const Rect& box) { m_box = box; }

    // The metadata keeps the attributes (null entries are skipped).
    void addAttribute(Ptr<Attribute> attribute) {
        if (attribute) m_attributes.push_back(std::move(attribute));
    }
    void addAttributes(const std::vector<Ptr<Attribute>>& attributes) {
        for (const auto& a : attributes) addAttribute(a);
    }
    // Shared references to the attributes, so a caller can change a value.
    const std::vector<Ptr<Attribute>>& attributes() const { return m_attributes; }

    const char* typeId() const override { return m_typeId.c_str(); }
    float confidence() const override { return m_confidence; }
    Rect boundingBox() const override { return m_box; }
    int attributeCount() const override { return static_cast<int>(m_attributes.size()); }
    const IAttribute* attribute(int i) const override {
        if (i < 0 || i >= attributeCount()) return nullptr;
        m_attributes[static_cast<size_t>(i)]->addRef();
        return m_attributes[static_cast<size_t>(i)].get();
    }

private:
    std::string m_typeId;
    float m_confidence = 1.0f;
    Rect m_box;
    std::vector<Ptr<Attribute>> m_attributes;
};

}  // namespace qz::sdk::analytics
