#include "platform/library_pin.h"

#include <dlfcn.h>

namespace qz::vms_server_plugins::analytics::qzai {

bool keepThisLibraryLoaded() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&keepThisLibraryLoaded), &info) == 0 || !info.dli_fname) return false;
    // RTLD_NOLOAD: only the image already mapped is touched; RTLD_NODELETE
    // keeps it mapped after its last dlclose. The extra reference is never
    // given back on purpose.
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
