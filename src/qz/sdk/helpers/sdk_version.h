// The version text of the SDK helper library the plug-in was built with.
#pragma once

namespace qz::sdk {

inline constexpr const char kSdkVersion[] = "1.0.0";

}  // namespace qz::sdk
