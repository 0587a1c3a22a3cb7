// The library's process-wide context (qz::sdk::ILibContext), reached by the
// host through qzLibContext and by the library through libContext().
//
// Built on first use, destroyed when the library is unloaded (it then
// releases the registries). Name and registry are each set once per use of
// the library by a host; a second attempt logs and is refused. A library
// kept in memory after its unload is used again by the next host's load:
// retireLibContext() (when the last plug-in object goes) lets that host set
// its own name and registry once more. All calls are thread-safe.
#pragma once

#include "qz/sdk/interface_ids.h"

namespace qz::sdk {

ILibContext& libContext();

// Ends the current host's use: the next setName and setRefCountableRegistry
// replace what is set. Objects released later report to the registry
// current then.
void retireLibContext();

// Called by RefCountable for every object of this library; no-ops until the
// host sets a registry.
void notifyRefCountableCreated(const IRefCountable* object, int refCount);
void notifyRefCountableDestroyed(const IRefCountable* object, int refCount);

}  // namespace qz::sdk
