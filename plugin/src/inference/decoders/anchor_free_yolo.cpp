#include "inference/decoders/anchor_free_yolo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
// One piece of the class search reads about this many scores (some
// microseconds of work): small enough that a late helper or the last piece
// keeps the caller waiting little, large enough that handing pieces out
// costs little.
constexpr int64_t kScoresPerPiece = 32768;
// With the automatic count, helpers join only from this many scores (52429
// proposals of 80 classes): alone, the calling thread reads each class row
// in long runs, which a cold output streams into best, while shared pieces
// are short; and waking a sleeping thread costs the waker 20-50 us on a busy
// or virtual machine, the helper arriving 50-100 us later. On cold outputs
// of 16800 and 33600 proposals three helpers made the search 0.83-1.03
// times as fast as the calling thread alone, so smaller searches stay
// alone and leave the other processors to other cameras' work.
constexpr int64_t kScoresForHelpers = 4194304;

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
    std::vector<float> best(static_cast<size_t>(n), conf);
    std::vector<int32_t> cls(static_cast<size_t>(n), -1);
    const ClassSearchPlan plan = planClassSearch(n, classes, threads);
    if (plan.helpers == 0) {
        // Alone, the calling thread searches every proposal in one call, so
        // that each class row is read in runs longer than a piece.
        findBestClassScores(0, n, classes, data, n, best.data(), cls.data());
    } else {
        helpers.run(plan.pieces, plan.helpers, [&](int32_t piece) {
            const int32_t begin = piece * plan.pieceSize;
            findBestClassScores(begin, std::min(begin + plan.pieceSize, n), classes, data, n,
                                best.data(), cls.data());
        });
    }

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

TensorSet* decodeAnchorFreeYoloWithThreads(const TensorSet* input, float conf, float iou,
                                           int32_t threads, const ThreadStarter& startThread) {
    SearchHelpers helpers((threads > 0 ? threads : automaticThreadCount()) - 1, startThread);
    return decodeAnchorFreeYoloWithHelpers(input, conf, iou, threads, helpers);
}

TensorSet* decodeAnchorFreeYolo(const TensorSet* input, float conf, float iou) {
    return decodeAnchorFreeYoloWithHelpers(input, conf, iou, 0, sharedHelpers());
}

}  // namespace qz::vms_server_plugins::analytics::qzai
