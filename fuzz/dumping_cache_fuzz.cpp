// The known boxes file's text: whatever parses must serialise and parse
// again to the same boxes (numbers are floats widened to doubles, so the
// round trip is exact).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "inference/postprocessing/dumping_cache_text.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

bool sameBoxes(const qzai::KnownBoxes& a, const qzai::KnownBoxes& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->second.size() != j->second.size()) return false;
        for (size_t k = 0; k < i->second.size(); ++k) {
            const qzai::BoxXywh& p = i->second[k];
            const qzai::BoxXywh& q = j->second[k];
            if (p.x != q.x || p.y != q.y || p.width != q.width || p.height != q.height) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* warning = nullptr;
    const auto first = qzai::parseDumpingCache(text, &warning);
    if (!first) {
        if (!warning) std::abort();
        return 0;
    }
    const auto second = qzai::parseDumpingCache(qzai::serializeDumpingCache(*first), &warning);
    // Device ids that are not UTF-8 are written with replacement characters,
    // so only their count and boxes are compared then.
    if (!second || second->size() != first->size()) std::abort();
    bool utf8 = true;
    for (const auto& [id, boxes] : *first) utf8 = utf8 && second->count(id);
    if (utf8 && !sameBoxes(*first, *second)) std::abort();
    return 0;
}
