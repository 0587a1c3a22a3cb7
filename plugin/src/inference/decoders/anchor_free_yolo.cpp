#include "inference/decoders/anchor_free_yolo.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "inference/decoders/class_search.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kTag = "AnchorFreeYolo";
constexpr int32_t kThreadedFrom = 2048;
constexpr int32_t kMaxThreads = 4;

int32_t automaticThreadCount() {
    // hardware_concurrency() reads system files; the answer does not change.
    static const int32_t count = [] {
        const unsigned reported = std::thread::hardware_concurrency();
        return reported == 0 ? 1 : static_cast<int32_t>(std::min<unsigned>(reported, kMaxThreads));
    }();
    return count;
}

std::thread startStdThread(std::function<void()> work) { return std::thread(std::move(work)); }

// Runs the class search over all slices: slice 0 and any slice whose thread
// could not be started on the calling thread, the rest on their own threads.
void searchAllSlices(const std::vector<ProposalSlice>& slices, int32_t classes, const float* data,
                     int32_t n, float* best, int32_t* cls, const ThreadStarter& startThread) {
    std::vector<std::thread> workers;
    workers.reserve(slices.size());
    size_t inlineFrom = slices.size();
    for (size_t s = 1; s < slices.size(); ++s) {
        const ProposalSlice slice = slices[s];
        try {
            workers.push_back(startThread([=] {
                findBestClassScores(slice.begin, slice.end, classes, data, n, best, cls);
            }));
        } catch (const std::exception& e) {
            decoderWarning(
                "Warning! [AnchorFreeYolo] Could not start a search thread (%s); searching on the "
                "calling thread.\n",
                e.what());
            inlineFrom = s;
            break;
        }
    }
    if (!slices.empty()) {
        findBestClassScores(slices[0].begin, slices[0].end, classes, data, n, best, cls);
    }
    for (size_t s = inlineFrom; s < slices.size(); ++s) {
        findBestClassScores(slices[s].begin, slices[s].end, classes, data, n, best, cls);
    }
    for (std::thread& worker : workers) {
        if (worker.joinable()) worker.join();
    }
}

}  // namespace

void findBestClassScores(int32_t begin, int32_t end, int32_t classes, const float* data, int32_t n,
                         float* best, int32_t* cls) {
    // Without proposals there is nothing to search, however many classes
    // the shape claims.
    if (begin >= end) return;
    const size_t stride = static_cast<size_t>(n);
    searchClassesChannelMajor(begin, end, classes, data + 4 * stride, stride, best, cls);
}

std::vector<ProposalSlice> classSearchSlices(int32_t n, int32_t threads) {
    std::vector<ProposalSlice> slices;
    if (n < kThreadedFrom || threads <= 1) {
        slices.push_back({0, std::max(n, 0)});
        return slices;
    }
    const int32_t chunk = (n - 1 + threads) / threads;
    for (int32_t t = 0; t < threads; ++t) {
        const int64_t begin = static_cast<int64_t>(t) * chunk;
        const int64_t end = std::min<int64_t>(begin + chunk, n);
        if (begin < end) slices.push_back({static_cast<int32_t>(begin), static_cast<int32_t>(end)});
    }
    return slices;
}

TensorSet* decodeAnchorFreeYoloWithThreads(const TensorSet* input, float conf, float iou,
                                           int32_t threads, const ThreadStarter& startThread) {
    const int32_t index = findFirstFloatTensor(input);
    if (index < 0) {
        decoderWarning("Warning! [AnchorFreeYolo] No FLOAT tensor found in input.\n");
        return makeEmptyResult(0);
    }
    if (!checkTensorShape(kTag, *input, index)) return makeEmptyResult(0);
    const Tensor& tensor = input->tensors[index];
    if (tensor.rank < 2) {
        decoderWarning("Warning! [AnchorFreeYolo] Tensor rank %d is too low.\n",
                       static_cast<int>(tensor.rank));
        return makeEmptyResult(0);
    }
    const int32_t channels = tensor.shape[tensor.rank - 2];
    const int32_t n = tensor.shape[tensor.rank - 1];
    if (channels < 5) {
        decoderWarning(
            "Warning! [AnchorFreeYolo] Too few channels (%d), need at least 5 (4 box + 1 class).\n",
            channels);
        return makeEmptyResult(0);
    }
    // Only the first batch entry is read.
    if (!checkTensorData(kTag, *input, index, static_cast<uint64_t>(channels) * n)) {
        return makeEmptyResult(0);
    }
    const int32_t classes = channels - 4;
    decoderVerbose("[AnchorFreeYolo] Decoding %d proposals, %d classes.\n", n, classes);

    const float* data = static_cast<const float*>(tensor.data);
    std::vector<float> best(static_cast<size_t>(n), conf);
    std::vector<int32_t> cls(static_cast<size_t>(n), -1);
    const int32_t threadCount = threads > 0 ? threads : automaticThreadCount();
    searchAllSlices(classSearchSlices(n, threadCount), classes, data, n, best.data(), cls.data(),
                    startThread);

    const size_t stride = static_cast<size_t>(n);
    std::vector<Detection> candidates;
    candidates.reserve(256);
    for (int32_t i = 0; i < n; ++i) {
        // A proposal whose best class score is infinite is no candidate.
        if (cls[i] < 0 || !std::isfinite(best[i])) continue;
        const float cx = data[i];
        const float cy = data[stride + i];
        const float w = data[2 * stride + i];
        const float h = data[3 * stride + i];
        candidates.push_back(
            {cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, best[i], cls[i]});
    }
    decoderVerbose("[AnchorFreeYolo] %d candidates above threshold.\n",
                   static_cast<int>(candidates.size()));
    if (candidates.empty()) return makeEmptyResult(0);

    const std::vector<uint8_t> keep = anchorFreeKeepFlags(candidates, iou);
    std::vector<Detection> kept;
    kept.reserve(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (keep[i]) kept.push_back(candidates[i]);
    }
    decoderVerbose("[AnchorFreeYolo] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(input->id, kept);
}

TensorSet* decodeAnchorFreeYolo(const TensorSet* input, float conf, float iou) {
    return decodeAnchorFreeYoloWithThreads(input, conf, iou, 0, startStdThread);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
