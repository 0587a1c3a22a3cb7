// The pure parts of stage chaining over a set the decoder target built, once
// the output validator accepts it (as the engine's output thread does before
// chaining sees a set): the trigger decision, the deep copy (which must equal
// the set block for block in separate blocks) and the Direct match of the
// set's own declarations (all match; without the last child input the last
// parent output has none).
#include "chain_parts.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "inference/chain_tensors.h"
#include "inference/output_validation.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

void exerciseChainParts(const TensorSet* set) {
    std::string problem;
    if (!set || !qzai::isSoundOutputSet(*set, problem)) return;

    volatile bool trigger = qzai::conditionalTrigger(set);
    (void)trigger;

    const qzai::TensorSetPtr copy = qzai::copyTensorSet(*set);
    if (!copy || copy->id != set->id || copy->count != set->count) std::abort();
    std::vector<qzai::NamedTensorDetails_t> declared;
    for (uint32_t i = 0; i < set->count; ++i) {
        const Tensor& a = set->tensors[i];
        const Tensor& b = copy->tensors[i];
        if (std::strcmp(a.name, b.name) != 0 || a.elementType != b.elementType || a.rank != b.rank ||
            a.byteSize != b.byteSize)
            std::abort();
        if (a.rank && std::memcmp(a.shape, b.shape, a.rank * sizeof(int32_t)) != 0) std::abort();
        if (a.byteSize && (a.data == b.data || std::memcmp(a.data, b.data, a.byteSize) != 0)) std::abort();
        declared.push_back({a.name, a.elementType, std::vector<int64_t>(a.shape, a.shape + a.rank)});
    }

    if (qzai::firstUnmatchedOutput(declared, declared) != nullptr) std::abort();
    if (declared.empty()) return;
    std::vector<qzai::NamedTensorDetails_t> fewer(declared.begin(), declared.end() - 1);
    const qzai::NamedTensorDetails_t* unmatched = qzai::firstUnmatchedOutput(declared, fewer);
    // Only a later duplicate of the last declaration can still match it.
    bool duplicate = false;
    for (const auto& d : fewer)
        duplicate = duplicate || (d.name == declared.back().name && d.dataType == declared.back().dataType &&
                                  d.shape == declared.back().shape);
    if ((unmatched == nullptr) != duplicate) std::abort();
}
