// The four functions the plug-in library exports, and their pointer types
// for a host that resolves them by name (dlsym).
//
//   createQzPlugin       - a new plug-in object (one reference for the host);
//                          query it for "qz::sdk::analytics::IIntegration".
//   qzLibContext         - the library context (lives until unload).
//   qzSdkVersion         - the SDK version text the library was built with.
//   qzSetUnitTestOptions - test options (see helpers/unit_test_options.h);
//                          the map is borrowed for the call.
// None of them throws; loading the library runs no code of its own.
#pragma once

#include "qz/sdk/interface_ids.h"

#define QZ_SDK_EXPORT __attribute__((visibility("default")))

extern "C" {
QZ_SDK_EXPORT qz::sdk::IRefCountable* createQzPlugin();
QZ_SDK_EXPORT qz::sdk::ILibContext* qzLibContext();
QZ_SDK_EXPORT const char* qzSdkVersion();
QZ_SDK_EXPORT void qzSetUnitTestOptions(const qz::sdk::IStringMap* options);
}

namespace qz::sdk {

using CreateQzPluginFunction = IRefCountable* (*)();
using QzLibContextFunction = ILibContext* (*)();
using QzSdkVersionFunction = const char* (*)();
using QzSetUnitTestOptionsFunction = void (*)(const IStringMap*);

inline constexpr char kCreateQzPluginName[] = "createQzPlugin";
inline constexpr char kQzLibContextName[] = "qzLibContext";
inline constexpr char kQzSdkVersionName[] = "qzSdkVersion";
inline constexpr char kQzSetUnitTestOptionsName[] = "qzSetUnitTestOptions";

}  // namespace qz::sdk
