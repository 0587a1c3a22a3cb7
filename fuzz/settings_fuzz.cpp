// libFuzzer target: a sequence of one to four host settings maps goes through
// acceptReceivedSettings one after another, as a device agent stores what the
// host sends. Keys come from every key form of the two-stage pipeline
// ("m1", "m1m2") or are raw bytes; values are raw bytes or mutated valid
// values. After each map:
// - every stage field is in its domain;
// - every refused key kept the previous stored value, with exactly one
//   captured warning line naming it, and the snapshot is the stored map
//   applied to the pipeline;
// - the same map applied again changes nothing;
// - the stored map survives the settings cache's line encoding;
// - the settings page built from the result parses, is never "{}" and
//   passes the structural check.
// When the first byte is a multiple of 4, the rest instead gives the settings
// texts of a pre- and a post-processor (optionally wrapped in many brackets)
// and the object and event types the post-processor declares; the page and
// the manifest are built for the two-stage pipeline using them:
// - the page passes the structural check (processor names start with the
//   stage key and infix exactly once);
// - a text that is not an array of at most 64 levels gives exactly one
//   warning for its kind, and one nested deeper always does;
// - the manifest parses and lists every class the page offers.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "common/log.h"
#include "engine/settings_applier.h"
#include "engine/settings_cache.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"
#include "settings/settings_manager.h"
#include "settings/stage_sections.h"
#include "common/json_utils.h"
#include "common/object_type_id.h"
#include "settings/support/settings_model_check.h"
#include "settings/support/settings_states.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace keys = qzai::setting_keys;

// ---- the log: lines are captured for the checks ---------------------------------------

namespace {
std::vector<std::string> g_lines;

void capture(const char* format, va_list args) {
    char buffer[4096];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    g_lines.emplace_back(buffer);
}
}  // namespace

namespace qz::vms_server_plugins::analytics::qzai {
void logMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    capture(format, args);
    va_end(args);
}
void logInfo(const char*, ...) {}  // the verbose page dump is not needed
}  // namespace qz::vms_server_plugins::analytics::qzai

namespace {

[[noreturn]] void failWith(const std::string& what) {
    std::fprintf(stderr, "settings fuzz: %s\n", what.c_str());
    std::abort();
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string bytes(size_t max) {
        const size_t n = std::min<size_t>(byte() % (max + 1), size_ - std::min(pos_, size_));
        std::string out(reinterpret_cast<const char*>(data_) + pos_, n);
        pos_ += n;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

std::vector<std::string> keyDictionary() {
    std::vector<std::string> out = {keys::kDeviceActiveSwitch, keys::kSelectedPipeline};
    for (const std::string k : {"m1", "m1m2"}) {
        for (const char* prefix :
             {keys::kCropBox, keys::kModelNms, keys::kVisualiseClasses, keys::kLineCrossingLine,
              keys::kLoiterDetectionObjectClass, keys::kLoiterDetectionTimeThreshold,
              keys::kDumpingDetectionObjectType, keys::kDumpingDetectionTimeThreshold}) {
            out.push_back(qzai::stageItemName(prefix, k));
        }
        for (int n = 1; n <= 6; ++n) {
            out.push_back(qzai::maskTypeName(std::to_string(n), k));
            out.push_back(qzai::polygonName(std::to_string(n), k));
        }
        out.push_back(qzai::processorSettingName(k, keys::kPreprocessorSetting, "strength"));
        out.push_back(qzai::processorSettingName(k, keys::kPostprocessorSetting, "zone"));
    }
    return out;
}

const std::vector<std::string> kValidValues = {
    "true", "false", "inclusive", "exclusive", "p1", "Custom", "30", "1", "100", "0", "-5", "1e300", "\"20\"",
    "NaN", "person", "", R"(["person", "car"])", "[]",
    R"({"figure": {"points": [[0.1, 0.2], [0.7, 0.8]]}})",
    R"({"figure": {"points": [[0, 0], [1, 0], [1, 1]]}})",
    R"({"figure": {"points": [[0.5, 0.5]]}})",
    R"({"figure": {"points": [{"x": 0.1, "y": 0.1}, {"x": 2, "y": -1}, {"x": 0.2, "y": 0.3}]}})",
    R"({"figure": null})", "{}"};

std::string value(Reader& in) {
    if (in.byte() < 96) return in.bytes(48);
    std::string v = kValidValues[in.byte() % kValidValues.size()];
    switch (in.byte() % 5) {
        case 0: break;
        case 1:
            if (!v.empty()) v[in.byte() % v.size()] = static_cast<char>(in.byte());
            break;
        case 2: v.resize(in.byte() % (v.size() + 1)); break;
        case 3: v.insert(v.empty() ? 0 : in.byte() % v.size(), 1, static_cast<char>(in.byte())); break;
        default: v += in.bytes(8); break;
    }
    return v;
}

bool inUnit(float v) { return v >= 0.0f && v <= 1.0f; }

void checkDomains(const qzai::DeviceAgentSettings_t& settings) {
    for (const auto* s : qzai::flattenPipelineStages(settings.stages)) {
        if (!(s->nmsThreshold >= -1e-6f && s->nmsThreshold <= 0.99f + 1e-6f)) failWith("NMS out of range");
        const float* b = s->cropBox;
        if (!inUnit(b[0]) || !inUnit(b[1]) || !inUnit(b[2]) || !inUnit(b[3]) || !(b[0] < b[2]) || !(b[1] < b[3])) {
            failWith("crop box out of range");
        }
        if (s->masks.size() > static_cast<size_t>(qzai::kMaxInputMasks)) failWith("too many masks");
        for (const auto& mask : s->masks) {
            if ((mask.type != 0 && mask.type != 1) || mask.points.size() < 6 || mask.points.size() % 2) {
                failWith("malformed mask");
            }
            for (float p : mask.points) if (!inUnit(p)) failWith("mask point out of range");
        }
        for (float p : {s->lineX1, s->lineY1, s->lineX2, s->lineY2}) if (!inUnit(p)) failWith("line out of range");
        if (s->loiterTimeThresholdSeconds < 1) failWith("loiter threshold below 1 s");
        if (s->dumpingTimeThresholdUs < 1000000) failWith("dumping threshold below 1 s");
    }
}

// Every field the applier writes.
std::string describe(const qzai::DeviceAgentSettings_t& s) {
    std::string out = std::to_string(s.deviceActive) + s.selectedPipeline;
    char number[64];
    auto add = [&](double v) {
        std::snprintf(number, sizeof number, ",%.9g", v);
        out += number;
    };
    for (const auto* st : qzai::flattenPipelineStages(s.stages)) {
        out += "|" + st->key;
        add(st->nmsThreshold);
        for (float v : st->cropBox) add(v);
        for (const auto& m : st->masks) {
            add(m.type);
            for (float v : m.points) add(v);
        }
        add(st->lineCrossingEnabled);
        for (float v : {st->lineX1, st->lineY1, st->lineX2, st->lineY2}) add(v);
        out += st->loiterObjectClass + "/" + st->dumpingObjectClass;
        add(static_cast<double>(st->loiterTimeThresholdSeconds));
        add(static_cast<double>(st->dumpingTimeThresholdUs));
        for (const auto& [name, shown] : st->classVisualisation) out += name + (shown ? "+" : "-");
        for (const auto& [name, v] : st->preprocessorSettings) out += name + "=" + v;
        for (const auto& [name, v] : st->postprocessorSettings) out += name + "=" + v;
    }
    return out;
}

size_t linesStartingWith(const std::string& prefix) {
    size_t n = 0;
    for (const auto& line : g_lines) n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

// The deepest bracket nesting of a text, outside strings.
size_t bracketDepth(const std::string& text) {
    size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::string settingsText(Reader& in) {
    const size_t length = (static_cast<size_t>(in.byte()) << 2 | in.byte() % 4) % 600;
    std::string text;
    for (size_t i = 0; i < length && !in.empty(); ++i) text += static_cast<char>(in.byte());
    const uint8_t wrap = in.byte();
    if (wrap >= 192) {  // wrapped in up to 127 more brackets
        const size_t levels = wrap % 128;
        text = std::string(levels, '[') + text + std::string(levels, ']');
    }
    return text;
}

std::vector<qzai::TypeDeclaration> declarations(Reader& in) {
    std::vector<qzai::TypeDeclaration> out(in.byte() % 5);
    for (auto& d : out) {
        d.id = in.bytes(10);
        d.name = in.bytes(10);
    }
    return out;
}

// Whether the page must warn about a processor's settings text.
bool warns(const std::string& text) {
    if (text.empty()) return false;
    if (bracketDepth(text) > qzai::kMaxJsonDepth) return true;
    size_t first = text.find_first_not_of(" \t\r\n");
    return !nlohmann::json::accept(text) || first == std::string::npos || text[first] != '[';
}

void checkSectionsAndManifest(Reader& in) {
    auto state = qz::settings_test::baseState("fuzz-sections");
    const std::string preText = settingsText(in), postText = settingsText(in);
    state.inputs.preprocessors["Pre"] = {"Pre", preText, {}, {}};
    qzai::ProcessorDeclarations post{"Post", postText, declarations(in), declarations(in)};
    state.inputs.postprocessors["Post"] = post;
    auto snapshot = qz::settings_test::baseSnapshot(state.models);
    state.models.at("m2")->classNames = {"helmet"};
    snapshot->stages[0].preprocessorName = "Pre";
    snapshot->stages[0].children[0].postprocessorName = "Post";

    g_lines.clear();
    const std::string page = qzai::SettingsManager::createDeviceAgentSettingsModelString(state.inputs, {}, snapshot);
    if (page == "{}") failWith("empty settings page");
    // A processor's own name may already hold the key and infix; the check
    // cannot tell that from a doubled prefix.
    const bool ownInfix = (preText + postText).find("processor_setting_") != std::string::npos;
    for (const auto& problem : qz::settings_test::checkSettingsModel(page)) {
        if (!(ownInfix && problem.find("exactly once") != std::string::npos)) failWith("sections: " + problem);
    }
    for (const auto& [kind, text] : {std::pair{"pre", preText}, std::pair{"post", postText}}) {
        const size_t n = linesStartingWith(std::string("Warning! External ") + kind + "processor settings should be");
        if (n != (warns(text) ? 1u : 0u)) failWith(std::string("wrong warning count for the ") + kind + "processor");
    }

    const auto manifest = nlohmann::json::parse(qzai::SettingsManager::createDeviceAgentManifestString(
                                                    *snapshot, state.inputs.postprocessors),
                                                nullptr, false);
    if (!manifest.is_object() || !manifest.contains("supportedTypes")) failWith("manifest is not an object");
    std::set<std::string> supported;
    for (const auto& entry : manifest["supportedTypes"]) {
        if (entry.contains("objectTypeId")) supported.insert(entry["objectTypeId"].get<std::string>());
    }
    for (const auto* stage : qzai::flattenPipelineStages(snapshot->stages)) {
        for (const auto& entry : qzai::stageClassRange(*stage, state.inputs.postprocessors)) {
            if (!supported.count(qzai::toObjectTypeId(entry.id))) failWith("class " + entry.id + " not in manifest");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> dictionary = keyDictionary();
    Reader in(data, size);
    if (size > 0 && data[0] % 4 == 0) {
        in.byte();
        checkSectionsAndManifest(in);
        return 0;
    }
    auto state = qz::settings_test::baseState("fuzz");
    const auto base = qz::settings_test::baseSnapshot(state.models);

    qzai::SettingsMap previous;
    const int maps = 1 + in.byte() % 4;
    for (int m = 0; m < maps && !in.empty(); ++m) {
        qzai::SettingsMap received;
        const int entries = in.byte() % 24;
        for (int e = 0; e < entries; ++e) {
            const uint8_t selector = in.byte();
            std::string key = selector < 224 ? dictionary[selector % dictionary.size()] : in.bytes(24);
            if (key.empty()) continue;  // the host names every setting
            received[key] = value(in);
        }

        // Keys no stage reads are dropped first, with one line for them all.
        qzai::SettingsMap readable = received;
        const bool dropped = qzai::dropUnreadableSettings(readable, &previous) > 0;
        g_lines.clear();
        const auto accepted = qzai::acceptReceivedSettings(previous, received, *base);
        checkDomains(*accepted.snapshot);
        for (const auto& key : accepted.rejected) {
            const auto before = previous.find(key);
            const auto after = accepted.stored.find(key);
            const bool kept = before == previous.end() ? after == accepted.stored.end()
                                                       : after != accepted.stored.end() && after->second == before->second;
            // A previous value that is itself refused (never stored by this
            // function) may be dropped; every value stored here was accepted.
            if (!kept) failWith("refused key " + key + " did not keep its previous value");
            if (linesStartingWith("Warning! Ignoring setting " + key + ": ") != 1) {
                failWith("refused key " + key + " not named by exactly one line");
            }
        }
        if (linesStartingWith("Warning!") != accepted.rejected.size() + (dropped ? 1 : 0)) {
            failWith("warnings without a refused key");
        }
        const auto stored = qzai::applyDeviceSettings(*base, accepted.stored);
        if (describe(*stored) != describe(*accepted.snapshot)) failWith("snapshot is not the stored map applied");

        const auto again = qzai::acceptReceivedSettings(accepted.stored, received, *base);
        if (again.stored != accepted.stored || describe(*again.snapshot) != describe(*accepted.snapshot)) {
            failWith("the same map applied twice changed something");
        }

        for (const auto& [key, v] : accepted.stored) {
            std::string k2, v2;
            if (!qzai::decodeSettingsCacheLine(qzai::encodeSettingsCacheLine(key, v), k2, v2) || k2 != key ||
                v2 != v) {
                failWith("cache line round trip lost " + key);
            }
        }

        const std::string page =
            qzai::SettingsManager::createDeviceAgentSettingsModelString(state.inputs, {}, accepted.snapshot);
        if (page == "{}") failWith("empty settings page");
        const auto problems = qz::settings_test::checkSettingsModel(page);
        if (!problems.empty()) failWith("settings page: " + problems.front());
        previous = accepted.stored;
    }
    return 0;
}
