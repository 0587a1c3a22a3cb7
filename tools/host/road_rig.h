// RoadRig: the whole road laid out for the real plug-in library, with nothing
// fetched from outside. It makes a temporary home folder, installs the test
// runtime there as the runtime (with the given runtime_args.json), serves one
// encrypted test-runtime model per stage from a loopback HTTP server (one
// path each), loads the library in a TestHost, obtains the engine and one
// device agent per camera, offers each camera a pipeline of one top-level
// stage (with the optional child stages) through the fake REST server and
// sends the camera's settings (active, each stage's classes shown, the
// top-level crop box, and any extra stage settings of the camera).
//
// The constructor throws std::runtime_error when any of that fails. The rig
// owns the host: destroying the rig unloads the library, stops the model
// server and removes the folder, in that order. Calls follow the TestHost's
// rule (one test thread); host().recorder() may be read from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/test_host.h"

namespace qz::test_host {

class RuntimeRepository;

// A child stage of the top-level stage, over a model of its own.
struct RoadRigChild {
    std::string modelId;
    std::string descriptor;  // test-runtime model descriptor
    std::string method = "FeatureExtraction";  // "Direct", "FeatureExtraction" or "Conditional"
    std::string featureExtractionClass;
    int side = 64;  // float image input side x side
    std::string resizing = "Stretch";
    std::vector<std::string> classes;  // shown classes of the child stage
    std::string outputName;            // its detection output
    std::string scoresName;            // its scores output, if any
    std::string postprocessor;         // its "Postprocessor" name; empty: none
};

struct RoadRigOptions {
    std::string pluginPath;   // libqzai_plugin.so
    std::string runtimePath;  // the test runtime library
    int cameras = 1;
    // The test-runtime model descriptor (JSON text); a detecting model should
    // name its output RoadRig::kOutputName.
    std::string modelDescriptor;
    // runtime_args.json of the installed runtime; "poll_ms" defaults to "20".
    std::map<std::string, std::string> runtimeArgs;
    std::string resizing = "Fit";  // "Fit", "Stretch" or "Crop"
    // Crop box of the stage as fractions x0, y0, x1, y1; all zero: none.
    float cropBox[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    std::string iniPath;  // configuration file handed to the plug-in; empty: defaults
    // Written as the configuration file when iniPath is empty.
    std::map<std::string, std::string> iniValues;
    // Child stages of the one top-level stage, each with its model served
    // and its classes shown.
    std::vector<RoadRigChild> children;
    std::string postprocessor;  // the stage's "Postprocessor" name; empty: none
    std::string preprocessor;   // the stage's "Preprocessor" name; empty: none
    // JSON texts of the external processor configuration files, written into
    // the data directory before the library is loaded (the plug-in reads
    // them when it builds its inference manager); empty: no file.
    std::string externalPostprocessors;
    std::string externalPreprocessors;
    // The top-level model's detection output name and its shown classes;
    // empty: RoadRig::kOutputName and RoadRig::kClassName.
    std::string outputName;
    std::vector<std::string> classes;
    // Extra settings of camera i (by index) under the stage key: each key is
    // a prefix such as "lineCrossingLine_" or "maskType_1_" that the stage
    // key completes.
    std::vector<std::map<std::string, std::string>> stageSettings;
    // More "NamedInput" entries of the model (a JSON array); empty: none.
    std::string extraNamedInputs;
    // Instead of copying the runtime into the home folder, serve it packed
    // from a loopback runtime repository (host/runtime_repository.h) and
    // point "RuntimeRepositoryURL" at it (needs iniPath empty); the plug-in
    // installs it once a runtime is chosen.
    bool runtimeFromRepository = false;
    // The model's "RawPostprocessing" object as JSON text (built-in decoding
    // of raw outputs); empty: none.
    std::string rawPostprocessing;
};

class RoadRig {
public:
    static constexpr int kModelSide = 640;
    static constexpr const char* kModelId = "squares-1";
    static constexpr const char* kClassName = "square";
    // The model's detection output; its name carries the format and the class list.
    static constexpr const char* kOutputName = "bboxes-format:xyxysc;0:square";

    explicit RoadRig(const RoadRigOptions& options);
    ~RoadRig();
    RoadRig(const RoadRig&) = delete;
    RoadRig& operator=(const RoadRig&) = delete;

    // The settings camera number `camera` is sent (active switch, classes,
    // crop box, its stage settings).
    static std::map<std::string, std::string> cameraSettingsFor(const RoadRigOptions& options, size_t camera);

    // Unloads the library and loads it again in a new TestHost over the same
    // home folder, model server and runtime, adding the cameras and sending
    // their settings again, as a restarted server would. What the old host
    // recorded goes with it. Returns the report of the unload; throws
    // std::runtime_error as the constructor does. `whileUnloaded` runs
    // between the two, when no library is loaded.
    UnloadReport restart(const std::function<void()>& whileUnloaded = {});

    TestHost& host();
    const std::vector<std::string>& cameraIds() const { return m_cameraIds; }
    std::string dataDirectory() const;
    std::string modelUrl() const;
    // Null unless RoadRigOptions::runtimeFromRepository.
    const RuntimeRepository* runtimeRepository() const;

private:
    void startHost();

    struct Parts;
    std::unique_ptr<Parts> m_parts;
    std::vector<std::string> m_cameraIds;
};

// "{00000000-0000-0000-0000-00000000000N}" for camera index N-1.
std::string roadCameraId(int camera);

}  // namespace qz::test_host
