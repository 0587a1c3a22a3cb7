#include "inference/decoders/anchor_free_yolo.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "inference/decoders/class_search.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"
#include "platform/processor_count.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kAnchorFreeYoloTag = "AnchorFreeYolo";
constexpr int32_t kMaxThreads = 4;
// The automatic count starts helpers only from this many usable processors.
constexpr int32_t kProcessorsForHelpers = 3;
// One piece of the class search reads about this many scores (3280
// proposals of 80 classes, about 50 us of work on a cold output): each class
// row is read in runs of about 13 KB, long enough to stream from memory
// (pieces of 416 proposals read 1.6 KB runs, and three helpers then made a
// cold search no faster than the calling thread alone), and a late helper
// or the last piece keeps the caller waiting little.
constexpr int64_t kScoresPerPiece = 262144;
// With the automatic count, helpers join only from this many scores (26215
// proposals of 80 classes). Waking a sleeping thread costs the waker 20-50 us
// on a busy or virtual machine, the helper arriving 50-100 us later: on cold
// outputs of 16800 proposals three helpers made the search no faster than
// the calling thread alone, on 33600 about 1.15-1.2 times as fast. Smaller
// searches stay alone and leave the other processors to other cameras' work.
constexpr int64_t kScoresForHelpers = 2097152;
// Proposals the calling thread searches at a time when alone: each class
// row is read in runs of 16 KB, long enough to stream from memory.
constexpr int32_t kSearchRun = 4096;

// The processors this process may use, read once: the helper pool is sized
// by it for the life of the process.
int32_t automaticThreadCount() {
    static const int32_t count = automaticSearchThreads(usableProcessorCount());
    return count;
}

std::thread startStdThread(std::function<void()> work) { return std::thread(std::move(work)); }

// The helpers of the automatic path, shared by every decode of the process.
// Static storage: destroyed, and so joined, when this library is unloaded.
SearchHelpers& sharedHelpers() {
    static SearchHelpers helpers(automaticThreadCount() - 1, startStdThread);
    return helpers;
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

int32_t automaticSearchThreads(int32_t processors) {
    // On two processors a helper shortens a cold search by 0-20% while it
    // takes the processor the other cameras' work would have.
    if (processors < kProcessorsForHelpers) return 1;
    return std::min(processors, kMaxThreads);
}

ClassSearchPlan planClassSearch(int32_t n, int32_t classes, int32_t threads) {
    ClassSearchPlan plan;
    if (n <= 0) return plan;
    const int64_t scores = static_cast<int64_t>(n) * std::max(classes, 1);
    // Whole blocks of 16 proposals, as the search works in those.
    const int64_t perPiece = (kScoresPerPiece + classes - 1) / std::max(classes, 1);
    plan.pieceSize = static_cast<int32_t>(std::min<int64_t>((perPiece + 15) / 16 * 16, n));
    plan.pieces = static_cast<int32_t>((static_cast<int64_t>(n) + plan.pieceSize - 1) / plan.pieceSize);
    const int64_t threadsWanted =
        threads > 0 ? threads : (scores >= kScoresForHelpers ? automaticThreadCount() : 1);
    plan.helpers = static_cast<int32_t>(std::clamp<int64_t>(threadsWanted - 1, 0, plan.pieces - 1));
    return plan;
}

TensorSet* decodeAnchorFreeYoloWithHelpers(const TensorSet* input, float conf, float iou,
                                           int32_t threads, SearchHelpers& helpers) {
    const int32_t index = findFirstFloatTensor(input);
    if (index < 0) {
        decoderWarning("Warning! [AnchorFreeYolo] No FLOAT tensor found in input.\n");
        return makeEmptyResult(0);
    }
    if (!checkTensorShape(kAnchorFreeYoloTag, *input, index)) return makeEmptyResult(0);
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
    if (!checkTensorData(kAnchorFreeYoloTag, *input, index, static_cast<uint64_t>(channels) * n)) {
        return makeEmptyResult(0);
    }
    const int32_t classes = channels - 4;
    decoderVerbose("[AnchorFreeYolo] Decoding %d proposals, %d classes.\n", n, classes);

    const float* data = static_cast<const float*>(tensor.data);
    const size_t stride = static_cast<size_t>(n);
    // Left unfilled: each run of proposals is filled just before its search.
    std::unique_ptr<float[]> best(new float[stride]);
    std::unique_ptr<int32_t[]> cls(new int32_t[stride]);
    const auto prepare = [&](int32_t begin, int32_t end) {
        std::fill(best.get() + begin, best.get() + end, conf);
        std::fill(cls.get() + begin, cls.get() + end, -1);
    };
    // The search never reads the box rows: on an output fresh from the
    // runtime each candidate's box is a cache miss of its own, and the
    // candidates lie far apart. Each one's reads are asked for as soon as it
    // is found, so that they are on their way while the search (or the
    // gathering) goes on, instead of being waited for one by one at the end.
    std::vector<int32_t> found;
    found.reserve(256);
    const auto gather = [&](int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            // A proposal whose best class score is infinite is no candidate.
            if (cls[i] < 0 || !std::isfinite(best[i])) continue;
            found.push_back(i);
            for (size_t row = 0; row < 4; ++row) __builtin_prefetch(data + row * stride + i);
        }
    };
    const ClassSearchPlan plan = planClassSearch(n, classes, threads);
    if (plan.helpers == 0) {
        // Alone, the calling thread searches run after run, each long enough
        // for a class row to stream; a run's candidates are gathered while
        // its scores are still in the cache.
        for (int32_t at = 0; at < n; at += kSearchRun) {
            const int32_t end = at + std::min(kSearchRun, n - at);
            prepare(at, end);
            findBestClassScores(at, end, classes, data, n, best.get(), cls.get());
            gather(at, end);
        }
    } else {
        prepare(0, n);
        helpers.run(plan.pieces, plan.helpers, [&](int32_t piece) {
            const int32_t begin = piece * plan.pieceSize;
            findBestClassScores(begin, std::min(begin + plan.pieceSize, n), classes, data, n,
                                best.get(), cls.get());
        });
        gather(0, n);
    }

    std::vector<Detection> candidates;
    candidates.reserve(found.size());
    for (const int32_t i : found) {
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

TensorSet* decodeAnchorFreeYoloWithThreads(const TensorSet* input, float conf, float iou,
                                           int32_t threads, const ThreadStarter& startThread) {
    SearchHelpers helpers((threads > 0 ? threads : automaticThreadCount()) - 1, startThread);
    return decodeAnchorFreeYoloWithHelpers(input, conf, iou, threads, helpers);
}

TensorSet* decodeAnchorFreeYolo(const TensorSet* input, float conf, float iou) {
    return decodeAnchorFreeYoloWithHelpers(input, conf, iou, 0, sharedHelpers());
}

}  // namespace qz::vms_server_plugins::analytics::qzai
