// libFuzzer target: builds an arbitrary tensor set from the input bytes and
// runs every decoder architecture over it (and a few out of range). Each
// block of the set is allocated to its exact size, so the sanitizers catch
// any read past a tensor's data; every result is freed as the pipeline
// frees it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "chain_parts.h"
#include "inference/tensor_utils.h"
#include "decoder_fuzz_format.h"
#include "inference/decoders/decoders.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    int32_t i32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return static_cast<int32_t>(v);
    }
    float f32() {
        const int32_t bits = i32();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // Up to `max` of the remaining bytes.
    const uint8_t* take(size_t max, size_t* taken) {
        *taken = std::min(max, size_ - pos_);
        const uint8_t* p = data_ + pos_;
        pos_ += *taken;
        return p;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

using decoder_fuzz::kNames;
using decoder_fuzz::kTypes;

// A dimension: mostly small, sometimes raw (negative, huge).
int32_t dimension(Reader& in) {
    const uint8_t mode = in.byte();
    if (mode < 200) return mode % 100;
    if (mode < 240) return in.u16();
    return in.i32();
}

float threshold(Reader& in) {
    const uint8_t mode = in.byte();
    if (mode < 240) return static_cast<float>(mode) / 239.0f;
    return in.f32();  // NaN, negative, huge
}

void freeSet(TensorSet* set) {
    qzai::freeTensorSet(set);
    std::free(set);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t flags = in.byte();
    const float conf = threshold(in);
    const float iou = threshold(in);
    const int32_t width = static_cast<int16_t>(in.u16());
    const int32_t height = static_cast<int16_t>(in.u16());
    const uint32_t count = in.byte() % 8;

    TensorSet* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    set->id = in.byte();
    if (count > 0 && !(flags & 1)) {
        set->tensors = static_cast<Tensor*>(std::calloc(count, sizeof(Tensor)));
    }
    set->count = count;
    for (uint32_t i = 0; i < count && set->tensors; ++i) {
        Tensor& t = set->tensors[i];
        const char* name = kNames[in.byte() % (sizeof kNames / sizeof kNames[0])];
        t.name = name ? strdup(name) : nullptr;
        t.elementType = kTypes[in.byte() % (sizeof kTypes / sizeof kTypes[0])];
        t.rank = in.byte() % 6;
        t.shape = static_cast<int32_t*>(std::malloc(std::max<size_t>(1, t.rank) * sizeof(int32_t)));
        for (uint32_t d = 0; d < t.rank; ++d) t.shape[d] = dimension(in);
        const uint8_t dataMode = in.byte();
        size_t bytes = 0;
        const uint8_t* payload = in.take(dataMode == 255 ? 0 : in.u16(), &bytes);
        if (dataMode != 255) {
            t.data = std::malloc(std::max<size_t>(1, bytes));
            std::memcpy(t.data, payload, bytes);
            t.byteSize = bytes;
        }
    }
    const TensorSet* input = (flags & 2) ? nullptr : set;
    exerciseChainParts(input);

    for (int32_t arch = -1; arch <= 10; ++arch) {
        TensorSet* out = qzai::runDetectionPostprocessor(arch, input, conf, iou, width, height);
        if (out && out->count > 0) {
            // Touch every byte of the result so that a short block shows up.
            const Tensor& r = out->tensors[0];
            uint8_t sum = 0;
            for (uint64_t b = 0; b < r.byteSize; ++b) sum ^= static_cast<const uint8_t*>(r.data)[b];
            volatile uint8_t sink = sum;
            (void)sink;
        }
        freeSet(out);
    }
    freeSet(set);
    return 0;
}
