// Test helpers for the decoders: tensor sets built from vectors with the
// same heap blocks a runtime hands over, results freed the way the pipeline
// frees them, and a capture of the decoders' log lines.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "inference/tensor_utils.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/runtime_api.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace decoder_test {

struct SetDeleter {
    void operator()(TensorSet* set) const {
        qzai::freeTensorSet(set);
        std::free(set);
    }
};
using SetPtr = std::unique_ptr<TensorSet, SetDeleter>;

struct TensorDesc {
    std::string name;
    std::vector<int32_t> shape;
    std::vector<float> values;        // float32 payload
    std::vector<unsigned char> raw;   // payload of other element types (replaces values)
    uint32_t elementType = QZ_ELEMENT_FLOAT32;
    int64_t byteSize = -1;            // -1: the payload's size
    bool nullData = false;
    bool nullName = false;
};

// A set owning malloc'ed copies of the descriptions. For non-float types the float
// payload is still copied as raw bytes, so its size decides the byte size.
inline SetPtr makeSet(const std::vector<TensorDesc>& descs, uint32_t id = 7) {
    SetPtr set(static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet))));
    set->id = id;
    if (descs.empty()) return set;
    set->tensors = static_cast<Tensor*>(std::calloc(descs.size(), sizeof(Tensor)));
    set->count = static_cast<uint32_t>(descs.size());
    for (size_t i = 0; i < descs.size(); ++i) {
        const TensorDesc& s = descs[i];
        Tensor& t = set->tensors[i];
        t.name = s.nullName ? nullptr : strdup(s.name.c_str());
        t.elementType = s.elementType;
        t.rank = static_cast<uint32_t>(s.shape.size());
        t.shape = static_cast<int32_t*>(std::malloc(std::max<size_t>(1, s.shape.size()) * 4));
        if (!s.shape.empty()) std::memcpy(t.shape, s.shape.data(), s.shape.size() * 4);
        const void* payload = s.raw.empty() ? static_cast<const void*>(s.values.data()) : s.raw.data();
        const size_t bytes = s.raw.empty() ? s.values.size() * sizeof(float) : s.raw.size();
        t.byteSize = s.byteSize >= 0 ? static_cast<uint64_t>(s.byteSize) : bytes;
        if (!s.nullData) {
            t.data = std::malloc(std::max<size_t>(1, bytes));
            if (bytes) std::memcpy(t.data, payload, bytes);
        }
    }
    return set;
}

inline TensorDesc floatTensor(std::string name, std::vector<int32_t> shape,
                              std::vector<float> values) {
    TensorDesc s;
    s.name = std::move(name);
    s.shape = std::move(shape);
    s.values = std::move(values);
    return s;
}

// The rows of a result's "output0 format:xyxysc" tensor; empty for an empty set.
inline std::vector<float> resultValues(const TensorSet* set) {
    if (!set || set->count == 0) return {};
    const Tensor& t = set->tensors[0];
    const float* data = static_cast<const float*>(t.data);
    return std::vector<float>(data, data + t.byteSize / sizeof(float));
}

inline std::vector<unsigned char> resultBytes(const TensorSet* set) {
    if (!set || set->count == 0) return {};
    const Tensor& t = set->tensors[0];
    const auto* data = static_cast<const unsigned char*>(t.data);
    return std::vector<unsigned char>(data, data + t.byteSize);
}

// Collects the decoders' log lines while alive.
class LogCapture : public qzai::DecoderLogSink {
public:
    LogCapture() : previous_(qzai::setDecoderLogSink(this)) {}
    ~LogCapture() override { qzai::setDecoderLogSink(previous_); }

    void line(bool warning, const char* text) override {
        (warning ? warnings : verbose).emplace_back(text);
    }

    std::vector<std::string> warnings;
    std::vector<std::string> verbose;

private:
    qzai::DecoderLogSink* previous_;
};

inline TensorDesc int64Tensor(std::string name, std::vector<int32_t> shape,
                              const std::vector<int64_t>& values) {
    TensorDesc s;
    s.name = std::move(name);
    s.shape = std::move(shape);
    s.elementType = QZ_ELEMENT_INT64;
    s.raw.resize(values.size() * sizeof(int64_t));
    if (!values.empty()) std::memcpy(s.raw.data(), values.data(), s.raw.size());
    return s;
}

// One decode through the dispatch with its log lines.
struct Decoded {
    uint32_t id = 0;
    std::vector<float> rows;  // six values per detection
    std::vector<std::string> warnings;
    std::vector<std::string> verbose;
};

inline Decoded decodeWith(int32_t architecture, const std::vector<TensorDesc>& descs, float conf,
                          int32_t width = 640, int32_t height = 640, float iou = 0.45f) {
    SetPtr input = makeSet(descs);
    LogCapture log;
    SetPtr out(qzai::runDetectionPostprocessor(architecture, input.get(), conf, iou, width, height));
    return {out->id, resultValues(out.get()), log.warnings, log.verbose};
}

}  // namespace decoder_test
