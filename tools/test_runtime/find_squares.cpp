// Bright-blob finder: thresholds pixel brightness at a fraction of the way
// from the image's darkest to its brightest value (so it works for 0..255 and
// normalised inputs alike) and reports the bounding box of every 4-connected
// bright region, top-left first.
#include <algorithm>
#include <cstring>

#include "test_runtime_internal.h"

namespace test_runtime {

namespace {

struct ImageView {
    const Tensor* tensor = nullptr;
    int64_t width = 0;
    int64_t height = 0;
    bool planar = true;

    float channel(int64_t x, int64_t y, int64_t c) const {
        const int64_t index = planar ? (c * height + y) * width + x : (y * width + x) * 3 + c;
        if (tensor->elementType == QZ_ELEMENT_FLOAT32) {
            float value;
            std::memcpy(&value, static_cast<const char*>(tensor->data) + index * 4, 4);
            return value;
        }
        return static_cast<const uint8_t*>(tensor->data)[index];
    }
};

// The first float32 or uint8 tensor shaped [1,3,H,W], [1,H,W,3], [3,H,W] or
// [H,W,3] whose data covers its shape.
bool findImage(const TensorSet& set, ImageView& view) {
    for (uint32_t i = 0; i < set.count; ++i) {
        const Tensor& t = set.tensors[i];
        if (t.elementType != QZ_ELEMENT_FLOAT32 && t.elementType != QZ_ELEMENT_UINT8) continue;
        if (!t.data || !t.shape || (t.rank != 4 && t.rank != 3)) continue;
        const int32_t* s = t.rank == 4 ? t.shape + 1 : t.shape;
        if (t.rank == 4 && t.shape[0] != 1) continue;
        if (s[0] == 3) view = {&t, s[2], s[1], true};
        else if (s[2] == 3) view = {&t, s[1], s[0], false};
        else continue;
        if (view.width <= 0 || view.height <= 0) continue;
        const uint64_t needed = static_cast<uint64_t>(view.width * view.height * 3) * elementSize(t.elementType);
        if (t.byteSize >= needed) return true;
    }
    return false;
}

}  // namespace

bool imageMean(const TensorSet& input, float& mean, int64_t& width, int64_t& height) {
    ImageView image;
    if (!findImage(input, image)) return false;
    double sum = 0.0;
    for (int64_t y = 0; y < image.height; ++y)
        for (int64_t x = 0; x < image.width; ++x)
            sum += image.channel(x, y, 0) + image.channel(x, y, 1) + image.channel(x, y, 2);
    width = image.width;
    height = image.height;
    mean = static_cast<float>(sum / (3.0 * static_cast<double>(width * height)));
    return true;
}

std::vector<std::array<float, 6>> findSquares(const TensorSet& input, const Model& model) {
    std::vector<std::array<float, 6>> rows;
    ImageView image;
    if (!findImage(input, image)) return rows;

    const int64_t w = image.width;
    const int64_t h = image.height;
    std::vector<float> brightness(static_cast<size_t>(w * h));
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            brightness[y * w + x] =
                (image.channel(x, y, 0) + image.channel(x, y, 1) + image.channel(x, y, 2)) / 3.0f;
    const auto [lo, hi] = std::minmax_element(brightness.begin(), brightness.end());
    if (*hi - *lo <= 1e-6f) return rows;
    const float threshold = *lo + (*hi - *lo) * model.threshold;

    std::vector<uint8_t> seen(brightness.size(), 0);
    std::vector<int64_t> stack;
    for (int64_t start = 0; start < w * h; ++start) {
        if (seen[start] || brightness[start] <= threshold) continue;
        int64_t x1 = w, y1 = h, x2 = -1, y2 = -1, area = 0;
        seen[start] = 1;
        stack.push_back(start);
        while (!stack.empty()) {
            const int64_t p = stack.back();
            stack.pop_back();
            const int64_t x = p % w, y = p / w;
            ++area;
            x1 = std::min(x1, x), y1 = std::min(y1, y), x2 = std::max(x2, x), y2 = std::max(y2, y);
            const int64_t neighbours[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
            for (const auto& n: neighbours) {
                if (n[0] < 0 || n[0] >= w || n[1] < 0 || n[1] >= h) continue;
                const int64_t q = n[1] * w + n[0];
                if (seen[q] || brightness[q] <= threshold) continue;
                seen[q] = 1;
                stack.push_back(q);
            }
        }
        if (area < model.minArea) continue;
        const bool big = model.bigSquareSide > 0 && std::max(x2 + 1 - x1, y2 + 1 - y1) >= model.bigSquareSide;
        rows.push_back({static_cast<float>(x1), static_cast<float>(y1), static_cast<float>(x2 + 1),
            static_cast<float>(y2 + 1), model.squareScore, big ? 1.0f : model.squareClass});
    }
    return rows;
}

}  // namespace test_runtime
