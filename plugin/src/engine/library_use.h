// LibraryUse: held by every plug-in and engine object of this library, so
// that the library knows when a host has finished with it.
//
// When the last holder goes, the library returns to its state just after
// loading: the next host may set its own context name and object registry,
// the configuration, the environment and the unit-test options are read
// anew, and warnings said once are said again. Options the next host set
// before that moment are its own and stay. A host may
// unload the library and load it again while it stays in memory (it is kept
// there while the host still holds objects whose code lives here); the next
// plug-in object then starts fresh instead of running on the old host's
// state. Thread-safe.
#pragma once

namespace qz::vms_server_plugins::analytics::qzai {

class LibraryUse {
public:
    LibraryUse();
    ~LibraryUse();
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
