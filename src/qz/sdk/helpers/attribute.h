// qz::sdk::Attribute: a named text value of an object, with a confidence.
// Created with one reference; built by one thread, then read-only.
#pragma once

#include <string>
#include <utility>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk {

class Attribute final : public RefCountable<IAttribute> {
public:
    Attribute(std::string name, std::string value, float confidence = 1.0f)
        : m_name(std::move(name)), m_value(std::move(value)), m_confidence(confidence) {}

    void setValue(std::string value) { m_value = std::move(value); }
    void setConfidence(float confidence) { m_confidence = confidence; }

    Type type() const override { return Type::undefined; }
    const char* name() const override { return m_name.c_str(); }
    const char* value() const override { return m_value.c_str(); }
    float confidence() const override { return m_confidence; }

private:
    std::string m_name;
    std::string m_value;
    float m_confidence;
};

}  // namespace qz::sdk
