// The arguments handed to runtime_init, read from "runtime_args.json" in the
// inference engine's working directory.
//
// The file is a JSON object; each member with a text value becomes one
// (key, value) pair in document order. A missing, empty or malformed file
// gives no arguments; every outcome is logged. The meaning of the keys
// belongs to the runtime library.
#pragma once

#include <string>
#include <vector>

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct RuntimeArgList {
    std::vector<std::string> keys;
    std::vector<std::string> values;

    // A RuntimeArgs record pointing into this list; valid while the list is
    // alive and unchanged. Count 0 gives null arrays.
    class View {
    public:
        explicit View(const RuntimeArgList& list);
        const RuntimeArgs* get() const { return &m_args; }

    private:
        std::vector<const char*> m_keys;
        std::vector<const char*> m_values;
        RuntimeArgs m_args{};
    };
};

RuntimeArgList loadRuntimeArgs(const std::string& directory);

}  // namespace qz::vms_server_plugins::analytics::qzai
