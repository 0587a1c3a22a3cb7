// Keeping the shared library that holds this code in memory for the rest of
// the process.
//
// keepThisLibraryLoaded() marks the library as never to be unmapped, so a
// later dlclose by the host leaves its code in place (used when the host
// still holds objects whose code lives here). In a program that links this
// code statically it has no effect worth noting. Thread-safe; true when the
// loader accepted the request.
#pragma once

namespace qz::vms_server_plugins::analytics::qzai {

bool keepThisLibraryLoaded();

}  // namespace qz::vms_server_plugins::analytics::qzai
