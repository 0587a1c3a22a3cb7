#include "host/rules_scenario.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace qz::test_host {

namespace {

constexpr int64_t kForgetAfterUs = 1000000;

struct Point {
    double x, y;
};

double distanceToSegment(Point p, Point a, Point b) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / length2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

// Distance of p from the line's infinite extension, and of its projection
// from the nearer end point (negative beyond an end).
void lineClearances(Point p, const double* line, double* fromLine, double* fromEnds) {
    const double dx = line[2] - line[0], dy = line[3] - line[1];
    const double length = std::hypot(dx, dy);
    *fromLine = std::fabs(dx * (p.y - line[1]) - dy * (p.x - line[0])) / length;
    const double along = ((p.x - line[0]) * dx + (p.y - line[1]) * dy) / length;
    *fromEnds = std::min(along, length - along);
}

std::string figure(const std::vector<double>& points, int width, int height) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i + 1 < points.size(); i += 2) list.push_back({points[i] / width, points[i + 1] / height});
    return nlohmann::json{{"figure", {{"points", list}}}}.dump();
}

// Even-odd; the script keeps every point well away from the edges.
bool inside(const std::vector<double>& points, Point p) {
    bool in = false;
    const size_t n = points.size() / 2;
    for (size_t i = 0, j = n - 1; i < n; j = i++) {
        const double xi = points[2 * i], yi = points[2 * i + 1], xj = points[2 * j], yj = points[2 * j + 1];
        if ((yi > p.y) != (yj > p.y) && xi + (xj - xi) * (p.y - yi) / (yj - yi) > p.x) in = !in;
    }
    return in;
}

}  // namespace

RulesScript::RulesScript(int cameras, int width, int height, int squareSide, int modelSide)
    : m_width(width), m_height(height), m_side(squareSide) {
    const int positions = (width - squareSide - 2 * kMarginPx) / kStepPx;  // steps of the travel
    auto centreX = [&](int k) { return kMarginPx + kStepPx * k + squareSide / 2.0; };
    // Between two centres: half a step from each.
    auto between = [&](int k) { return centreX(k) + kStepPx / 2.0; };
    const int middle = positions / 2;
    for (int c = 0; c < cameras; ++c) {
        RulesCamera camera;
        const int role = c % 3;
        camera.laneTop = kMarginPx + (height - squareSide - 2 * kMarginPx) * (role + 1) / 4;
        const double bottom = camera.laneTop + squareSide;
        const double x = between(middle);
        camera.hasLine = true;
        if (role == 0) {
            camera.line[0] = x, camera.line[1] = 0, camera.line[2] = x, camera.line[3] = height;
        } else if (role == 1) {
            camera.line[0] = x, camera.line[1] = height, camera.line[2] = x, camera.line[3] = 0;
            // An L over the right end: a bar across the lane's bottom from
            // between positions - 6 and - 5 to the frame's edge, and an arm
            // rising at its right end.
            const double left = between(positions - 6), arm = between(positions - 3), right = width - 4.0;
            camera.masks.push_back({true, {left, bottom - 60, arm, bottom - 60, arm, camera.laneTop - 80.0,
                                           right, camera.laneTop - 80.0, right, bottom + 60, left, bottom + 60}});
        } else {
            camera.line[0] = x, camera.line[1] = 0, camera.line[2] = x, camera.line[3] = camera.laneTop - 40.0;
            camera.masks.push_back({false, {between(middle - 8), bottom - 60, between(middle + 8), bottom - 60,
                                            between(middle + 8), bottom + 60, between(middle - 8), bottom + 60}});
        }
        m_cameras.push_back(std::move(camera));
    }

    // Every scripted centre and bottom centre keeps four model pixels (in
    // frame pixels, at the coarser of the two axes) from lines and edges.
    const double clearance = 4.0 * std::max(width, height) / modelSide;
    for (size_t c = 0; c < m_cameras.size(); ++c) {
        const RulesCamera& camera = m_cameras[c];
        for (int k = 0; k <= positions; ++k) {
            const Point centre{centreX(k), camera.laneTop + squareSide / 2.0};
            const Point bottom{centreX(k), static_cast<double>(camera.laneTop + squareSide)};
            double fromLine = 0, fromEnds = 0;
            lineClearances(centre, camera.line, &fromLine, &fromEnds);
            bool clear = fromLine >= clearance && std::fabs(fromEnds) >= clearance;
            for (const RulesMask& mask : camera.masks) {
                const size_t n = mask.points.size() / 2;
                for (size_t i = 0, j = n - 1; i < n; j = i++) {
                    clear = clear && distanceToSegment(bottom, {mask.points[2 * i], mask.points[2 * i + 1]},
                                                       {mask.points[2 * j], mask.points[2 * j + 1]}) >= clearance;
                }
            }
            if (!clear) {
                throw std::runtime_error("rules script: camera " + std::to_string(c + 1) + " position " +
                                         std::to_string(k) + " comes closer than 4 model pixels to a line or edge");
            }
        }
    }
}

Square RulesScript::squareAt(int camera, int frame) const {
    const int positions = (m_width - m_side - 2 * kMarginPx) / kStepPx;
    const int t = frame % (2 * positions);
    const int k = t <= positions ? t : 2 * positions - t;
    return {kMarginPx + kStepPx * k, m_cameras[static_cast<size_t>(camera)].laneTop, m_side, 235};
}

bool RulesScript::passesMasks(int camera, int frame) const {
    const Square square = squareAt(camera, frame);
    const Point bottom{square.x + square.size / 2.0, static_cast<double>(square.y + square.size)};
    bool anyInclusive = false, inInclusive = false;
    for (const RulesMask& mask : m_cameras[static_cast<size_t>(camera)].masks) {
        const bool in = inside(mask.points, bottom);
        if (mask.exclusive && in) return false;
        if (!mask.exclusive) anyInclusive = true, inInclusive = inInclusive || in;
    }
    return !anyInclusive || inInclusive;
}

std::map<std::string, std::string> RulesScript::stageSettings(int camera) const {
    const RulesCamera& script = m_cameras[static_cast<size_t>(camera)];
    std::map<std::string, std::string> settings;
    if (script.hasLine) {
        settings["lineCrossingLine_"] =
            figure({script.line[0], script.line[1], script.line[2], script.line[3]}, m_width, m_height);
    }
    for (size_t i = 0; i < script.masks.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        settings["maskType_" + number + "_"] = script.masks[i].exclusive ? "exclusive" : "inclusive";
        settings["polygon" + number + ".figure_"] = figure(script.masks[i].points, m_width, m_height);
    }
    return settings;
}

bool RulesScript::lineView(int camera, int frame, double* segmentProduct, double* side) const {
    const RulesCamera& script = m_cameras[static_cast<size_t>(camera)];
    if (!script.hasLine) return false;
    const double x1 = script.line[0] / m_width, y1 = script.line[1] / m_height;
    const double x2 = script.line[2] / m_width, y2 = script.line[3] / m_height;
    const double dx = x2 - x1, dy = y2 - y1;
    const Square square = squareAt(camera, frame);
    const double cx = (square.x + square.size / 2.0) / m_width;
    const double cy = (square.y + square.size / 2.0) / m_height;
    *segmentProduct = ((cx - x2) * dx + (cy - y2) * dy) * ((cx - x1) * dx + (cy - y1) * dy);
    *side = dx * (cy - y1) - dy * (cx - x1);
    return true;
}

void CrossingCounter::see(int64_t timestampUs, int frame) {
    double segmentProduct = 0, side = 0;
    if (!m_script.lineView(m_camera, frame, &segmentProduct, &side)) return;
    if (m_seen && timestampUs < m_lastUs) return;
    if (m_seen && timestampUs - m_lastUs <= kForgetAfterUs && m_segmentProduct < 0 && segmentProduct < 0 &&
        m_side * side < 0)
        (side > 0 ? m_totals.left : m_totals.right) += 1;
    m_seen = true;
    m_lastUs = timestampUs;
    m_segmentProduct = segmentProduct;
    m_side = side;
}

}  // namespace qz::test_host
