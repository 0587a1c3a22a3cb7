#include "inference/preprocessing/resize_plan.h"

namespace qz::vms_server_plugins::analytics::qzai {

ResizePlan buildResizePlan(int32_t W, int32_t H, int32_t tw, int32_t th,
                           std::span<const float, 4> cropBox, ResizingMethod method) {
    ResizePlan plan;
    plan.targetWidth = tw;
    plan.targetHeight = th;
    plan.geometry = computeResizeGeometry(W, H, tw, th, cropBox, method);
    plan.columns = buildColumnMap(plan.geometry, tw);
    plan.rows = buildRowMap(plan.geometry, th);
    plan.columnRun = findMappedRun(plan.columns);
    return plan;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
