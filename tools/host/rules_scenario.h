// The main job's rules scenario: one square per camera sweeping horizontally
// back and forth by 48 px a frame, and per camera the stage's line and masks:
//   camera 1: a vertical line drawn top to bottom across the travel;
//   camera 2: the same line drawn bottom to top (left and right swap) and a
//             concave exclusive polygon (an L) over the right end of the travel;
//   camera 3: an inclusive polygon over the middle of the travel and a line
//             that ends above the square's lane (passed around: no crossing).
// Further cameras repeat the three. Lines and polygon edges keep every
// scripted centre (for lines) and bottom centre (for polygons) at least four
// model pixels away, so detection error cannot move a point across; the
// constructor checks this and throws std::runtime_error otherwise.
//
// The expected crossings follow the line rule over the frames in which the
// square reached it: side changes of the scripted centres between consecutive
// such frames at most 1 s of camera time apart, both centres projecting
// inside the line's segment (CrossingCounter). Plain data, no locks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/test_frame.h"

namespace qz::test_host {

struct RulesMask {
    bool exclusive = false;
    std::vector<double> points;  // x, y pairs in frame pixels
};

struct RulesCamera {
    int laneTop = 0;              // the square's top edge
    bool hasLine = false;
    double line[4] = {0, 0, 0, 0};  // x1, y1, x2, y2 in frame pixels
    std::vector<RulesMask> masks;
};

struct CrossingTotals {
    uint64_t left = 0;
    uint64_t right = 0;
};

class RulesScript {
public:
    static constexpr int kStepPx = 48;
    static constexpr int kMarginPx = 16;

    // modelSide: the model's input side (for the four-pixel clearance).
    RulesScript(int cameras, int width, int height, int squareSide, int modelSide);

    Square squareAt(int camera, int frame) const;
    // Whether the square's bottom centre passes the camera's masks in the
    // frame (so a reported track reaches the rules and the packets).
    bool passesMasks(int camera, int frame) const;
    const RulesCamera& camera(int camera) const { return m_cameras[static_cast<size_t>(camera)]; }

    // The camera's stage settings by key prefix (the stage key follows):
    // "lineCrossingLine_", "maskType_<i>_", "polygon<i>.figure_".
    std::map<std::string, std::string> stageSettings(int camera) const;

    // The line rule's view of the square's centre in the frame: segment
    // product (negative: projects inside the segment) and side, in frame
    // fractions as the rule computes them. False when the camera has no line.
    bool lineView(int camera, int frame, double* segmentProduct, double* side) const;

private:
    int m_width, m_height, m_side;
    std::vector<RulesCamera> m_cameras;
};

// Replays the line rule over the frames in which the square reached it, in
// the order the rule saw them: a sighting older than the last one is ignored,
// a pair more than 1 s of camera time apart does not count.
class CrossingCounter {
public:
    CrossingCounter(const RulesScript& script, int camera) : m_script(script), m_camera(camera) {}
    void see(int64_t timestampUs, int frame);
    const CrossingTotals& totals() const { return m_totals; }
    bool any() const { return m_totals.left + m_totals.right > 0; }

private:
    const RulesScript& m_script;
    int m_camera;
    bool m_seen = false;
    int64_t m_lastUs = 0;
    double m_segmentProduct = 0, m_side = 0;
    CrossingTotals m_totals;
};

}  // namespace qz::test_host
