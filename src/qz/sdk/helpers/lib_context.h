// The library's process-wide context (qz::sdk::ILibContext), reached by the
// host through qzLibContext and by the library through libContext().
//
// Built on first use, destroyed when the library is unloaded (it then
// releases the registry). Name and registry are each set once; a second
// attempt logs and is refused. All calls are thread-safe.
#pragma once

#include "qz/sdk/interface_ids.h"

namespace qz::sdk {

ILibContext& libContext();

// Called by RefCountable for every object of this library; no-ops until the
// host sets a registry.
void notifyRefCountableCreated(const IRefCountable* object, int refCount);
void notifyRefCountableDestroyed(const IRefCountable* object, int refCount);

}  // namespace qz::sdk
