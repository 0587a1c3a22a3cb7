#include "inference/preprocessing/yuv_planes.h"

#include "qz/sdk/analytics/i_uncompressed_video_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

bool isUsable(const YuvPlanes& p) {
    if (p.width <= 0 || p.height <= 0) return false;
    if (!p.y || !p.u || !p.v) return false;
    const int32_t chromaWidth = p.width / 2 + (p.width & 1);
    return p.yLineSize >= p.width && p.uLineSize >= chromaWidth && p.vLineSize >= chromaWidth;
}

YuvPlanes yuvPlanesOf(const qz::sdk::analytics::IUncompressedVideoFrame* frame) {
    YuvPlanes p;
    if (!frame || frame->planeCount() < 3) return p;
    p.width = frame->width();
    p.height = frame->height();
    p.y = frame->data(0);
    p.u = frame->data(1);
    p.v = frame->data(2);
    p.yLineSize = frame->lineSize(0);
    p.uLineSize = frame->lineSize(1);
    const int32_t vLineSize = frame->lineSize(2);
    p.vLineSize = vLineSize > 0 ? vLineSize : p.uLineSize;
    return p;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
