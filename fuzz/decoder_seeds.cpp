// Writes the decoder fuzz target's seed corpus: one well-formed output per
// model family, each with at least one detection, so that fuzzing starts
// past the tensor lookups and shape checks of every decoder.
//
//   qzai_decoder_seeds <folder>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "decoder_fuzz_format.h"

namespace {

struct Tensor {
    const char* name;
    std::vector<int32_t> shape;
    std::vector<float> values;
};

class Writer {
public:
    void byte(uint8_t b) { bytes_.push_back(b); }
    void u16(uint16_t v) {
        byte(static_cast<uint8_t>(v & 0xff));
        byte(static_cast<uint8_t>(v >> 8));
    }
    void dimension(int32_t d) {
        if (d < 100) {
            byte(static_cast<uint8_t>(d));
        } else {
            byte(200);
            u16(static_cast<uint16_t>(d));
        }
    }
    void tensor(const Tensor& t) {
        byte(nameIndex(t.name));
        byte(0);  // float32
        byte(static_cast<uint8_t>(t.shape.size()));
        for (const int32_t d : t.shape) dimension(d);
        byte(0);  // data follows
        const size_t size = t.values.size() * sizeof(float);
        u16(static_cast<uint16_t>(size));
        const auto* p = reinterpret_cast<const uint8_t*>(t.values.data());
        bytes_.insert(bytes_.end(), p, p + size);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    static uint8_t nameIndex(const char* name) {
        for (uint8_t i = 0; decoder_fuzz::kNames[i]; ++i) {
            if (std::strcmp(decoder_fuzz::kNames[i], name) == 0) return i;
        }
        std::fprintf(stderr, "no fuzz name %s\n", name);
        std::exit(1);
    }
    std::vector<uint8_t> bytes_;
};

std::vector<float> filled(size_t n, float v) { return std::vector<float>(n, v); }

// conf 60 / 239 = 0.25, iou 107 / 239 = 0.45, a 64 x 64 input.
std::vector<uint8_t> seed(const std::vector<Tensor>& tensors) {
    Writer w;
    w.byte(0);
    w.byte(60);
    w.byte(107);
    w.u16(64);
    w.u16(64);
    w.byte(static_cast<uint8_t>(tensors.size()));
    w.byte(1);
    for (const Tensor& t : tensors) w.tensor(t);
    return w.bytes();
}

// Four proposals, the first a detection of class 1.
std::vector<Tensor> yoloChannels() {
    std::vector<float> v = filled(6 * 4, 0.1f);
    for (int k = 0; k < 4; ++k) v[k * 4] = 10.0f + 10.0f * k;  // cx, cy, w, h of proposal 0
    v[5 * 4] = 0.9f;
    return {{"output0", {1, 6, 4}, v}};
}
std::vector<Tensor> yoloRows(int rowSize) {
    std::vector<float> v = filled(4 * rowSize, 0.1f);
    const float row[7] = {10, 10, 30, 30, 0.9f, 0.9f, 0.1f};
    std::copy(row, row + rowSize, v.begin());
    return {{"output0", {1, 4, rowSize}, v}};
}
std::vector<float> boxes() {
    std::vector<float> v = filled(16, 0.0f);
    const float b[4] = {0.1f, 0.2f, 0.5f, 0.6f};
    std::copy(b, b + 4, v.begin());
    return v;
}
std::vector<float> classScores(int columns) {
    std::vector<float> v = filled(4 * columns, 0.05f);
    v[columns - 1] = 0.9f;
    return v;
}
std::vector<Tensor> nanoDet() {
    std::vector<Tensor> t;
    for (const int anchors : {16, 4}) {
        std::vector<float> cls = filled(anchors * 33, -4.0f);
        cls[5] = 3.0f;
        t.push_back({"cls", {1, anchors, 33}, cls});
        t.push_back({"reg", {1, anchors, 32}, filled(anchors * 32, 0.0f)});
    }
    return t;
}
std::vector<Tensor> deepX() {
    std::vector<Tensor> t;
    for (const int side : {4, 2, 1}) t.push_back({"reg", {1, 64, side, side}, filled(64 * side * side, 0.0f)});
    for (const int side : {4, 2, 1}) {
        std::vector<float> cls = filled(2 * side * side, 0.0f);
        cls[0] = 0.9f;
        t.push_back({"cls", {1, 2, side, side}, cls});
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    const std::pair<const char*, std::vector<Tensor>> seeds[] = {
        {"anchor_free_yolo", yoloChannels()},
        {"anchor_based_yolo", yoloRows(7)},
        {"yolo26", yoloRows(6)},
        {"yolo_nas", {{"boxes", {1, 4, 4}, filled(16, 20.0f)}, {"scores", {1, 4, 3}, classScores(3)}}},
        {"rt_detr", {{"logits", {1, 4, 5}, classScores(5)}, {"pred_boxes", {1, 4, 4}, boxes()}}},
        {"rf_detr", {{"scores", {1, 4}, {0.9f, 0, 0, 0}}, {"boxes", {1, 4, 4}, boxes()}, {"labels", {1, 4}, filled(4, 1.0f)}}},
        {"ssd", {{"boxes", {1, 4, 4}, boxes()}, {"scores", {1, 4, 3}, classScores(3)}}},
        {"efficientdet", {{"boxes", {1, 4, 4}, boxes()}, {"scores", {1, 4}, {0.9f, 0, 0, 0}},
                          {"classes", {1, 4}, filled(4, 2.0f)}, {"num_detections", {1}, {3.0f}}}},
        {"nanodet", nanoDet()},
        {"yolov8_deepx", deepX()},
    };
    for (const auto& [name, tensors] : seeds) {
        const std::vector<uint8_t> bytes = seed(tensors);
        std::ofstream out(folder / (std::string("seed-") + name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", name);
            return 1;
        }
    }
    return 0;
}
