#include <exception>

#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/result_set.h"
#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

struct DecoderArgs {
    float conf;
    float iou;
    int32_t width;
    int32_t height;
};

using Decoder = TensorSet* (*)(const TensorSet* input, const DecoderArgs& args);

TensorSet* anchorFreeYolo(const TensorSet* in, const DecoderArgs& a) {
    return decodeAnchorFreeYolo(in, a.conf, a.iou);
}
TensorSet* anchorBasedYolo(const TensorSet* in, const DecoderArgs& a) {
    return decodeAnchorBasedYolo(in, a.conf, a.iou);
}
TensorSet* yolo26(const TensorSet* in, const DecoderArgs& a) { return decodeYolo26(in, a.conf); }

// Families whose decoder is not part of the build yet decode to nothing.
TensorSet* notBuilt(const TensorSet* in, const DecoderArgs&) {
    return makeEmptyResult(in ? in->id : 0);
}

struct Entry {
    const char* tag;
    Decoder decode;
};

// Indexed by ModelArchitecture.
constexpr Entry kDecoders[] = {
    {"AnchorFreeYolo", anchorFreeYolo},
    {"AnchorBasedYolo", anchorBasedYolo},
    {"YOLO26", yolo26},
    {"YOLO-NAS", notBuilt},
    {"RT-DETR", notBuilt},
    {"RF-DETR", notBuilt},
    {"SSD", notBuilt},
    {"EfficientDet", notBuilt},
    {"NanoDet", notBuilt},
    {"YOLOv8-DeepX", notBuilt},
};
constexpr int32_t kDecoderCount = static_cast<int32_t>(sizeof kDecoders / sizeof kDecoders[0]);

}  // namespace

TensorSet* runDetectionPostprocessor(int32_t architecture, const TensorSet* input, float conf,
                                     float iou, int32_t imageWidth, int32_t imageHeight) {
    const uint32_t id = input ? input->id : 0;
    if (architecture < 0 || architecture >= kDecoderCount) return makeEmptyResult(id);
    const Entry& entry = kDecoders[architecture];
    // Decoders do not throw on bad input; this only guards against running
    // out of memory on a valid but huge one, which must not reach the
    // output worker.
    try {
        return entry.decode(input, DecoderArgs{conf, iou, imageWidth, imageHeight});
    } catch (const std::exception& e) {
        decoderWarning("Warning! [%s] Decoding failed: %s\n", entry.tag, e.what());
    } catch (...) {
        decoderWarning("Warning! [%s] Decoding failed.\n", entry.tag);
    }
    return makeEmptyResult(architecture == kAnchorFreeYolo ? 0 : id);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
