// qz::sdk::String: a reference-counted text (IString). Immutable, so safe to
// read from any thread.
#pragma once

#include <string>
#include <utility>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk {

class String final : public RefCountable<IString> {
public:
    String() = default;
    explicit String(std::string text) : m_text(std::move(text)) {}
    const char* str() const override { return m_text.c_str(); }
    const std::string& text() const { return m_text; }

private:
    const std::string m_text;
};

// A new String with one reference for the receiver (for Result values).
inline const IString* newString(std::string text) { return new String(std::move(text)); }

// The text of an IString, empty for null.
inline std::string toStdString(const IString* string) {
    return (string && string->str()) ? std::string(string->str()) : std::string();
}

// The text of an IString the caller received a reference to; releases it.
inline std::string takeString(const IString* string) {
    std::string text = toStdString(string);
    if (string) string->releaseRef();
    return text;
}

}  // namespace qz::sdk
