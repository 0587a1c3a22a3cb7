// Readable texts of SDK values for log lines and diagnostics.
#pragma once

#include <string>

#include "qz/sdk/interface_ids.h"

namespace qz::sdk {

// {"key": "value", ...} in key order; "null" for null.
std::string toString(const IStringMap* map);

namespace analytics {
// "(x, y, width x height)".
std::string toString(const Rect& rect);
}  // namespace analytics

}  // namespace qz::sdk
