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
TensorSet* yoloNas(const TensorSet* in, const DecoderArgs& a) {
    return decodeYoloNas(in, a.conf, a.iou);
}
TensorSet* rtDetr(const TensorSet* in, const DecoderArgs& a) {
    return decodeRtDetr(in, a.conf, a.width, a.height);
}
TensorSet* rfDetr(const TensorSet* in, const DecoderArgs& a) {
    return decodeRfDetr(in, a.conf, a.width, a.height);
}
TensorSet* ssd(const TensorSet* in, const DecoderArgs& a) {
    return decodeSsd(in, a.conf, a.iou, a.width, a.height);
}
TensorSet* efficientDet(const TensorSet* in, const DecoderArgs& a) {
    return decodeEfficientDet(in, a.conf, a.width, a.height);
}
TensorSet* nanoDet(const TensorSet* in, const DecoderArgs& a) {
    return decodeNanoDet(in, a.conf, a.iou);
}
TensorSet* yolov8DeepX(const TensorSet* in, const DecoderArgs& a) {
    return decodeYolov8DeepX(in, a.conf, a.iou);
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
    {"YOLO-NAS", yoloNas},
    {"RT-DETR", rtDetr},
    {"RF-DETR", rfDetr},
    {"SSD", ssd},
    {"EfficientDet", efficientDet},
    {"NanoDet", nanoDet},
    {"YOLOv8-DeepX", yolov8DeepX},
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
