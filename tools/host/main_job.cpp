#include "host/main_job.h"

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/test_crypto.h"
#include "host/test_host.h"

namespace qz::test_host {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kModelSide = 320;
constexpr int kSquareSide = 160;
constexpr const char* kModelId = "squares-1";
constexpr const char* kClassName = "square";
// The detection output; its name carries the format and the class list.
constexpr const char* kOutputName = "bboxes-format:xyxysc;0:square";

// The loopback model repository: one model, its key in "X-Key".
class ModelServer {
public:
    ModelServer(std::string body, std::string key) : m_body(std::move(body)), m_key(std::move(key)) {
        m_server.Get("/models/squares.bin", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("X-Key", m_key);
            response.set_header("Last-Modified", "Mon, 07 Dec 2026 10:00:00 GMT");
            response.set_content(m_body, "application/octet-stream");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0) throw std::runtime_error("cannot bind the loopback model server");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~ModelServer() {
        m_server.stop();
        if (m_thread.joinable()) m_thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/models/squares.bin"; }
    size_t size() const { return m_body.size(); }

private:
    std::string m_body;
    std::string m_key;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

// A temporary home folder, removed at the end.
struct TempHome {
    fs::path path;
    TempHome() {
        std::string pattern = (fs::temp_directory_path() / "qz_main_job_XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
        path = pattern;
    }
    ~TempHome() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

void installRuntime(const fs::path& dataDir, const std::string& runtimePath) {
    const fs::path folder = dataDir / "inference_engine";
    fs::create_directories(folder);
    fs::copy_file(runtimePath, folder / "RuntimeLibrary.dll", fs::copy_options::overwrite_existing);
    std::ofstream(folder / "installed_runtime.txt") << "Generic CPU";
    std::ofstream(folder / "runtime_args.json") << R"({"poll_ms": "20"})";
}

nlohmann::json pipelineDocument(const MainJobOptions& options, const ModelServer& server) {
    const nlohmann::json model = {
        {"UUID", kModelId},
        {"Name", "Bright squares"},
        {"LastModified", "Mon, 07 Dec 2026 10:00:00 GMT"},
        {"DownloadURL", server.url()},
        {"Size", server.size()},
        {"InputDriverDetails",
         {{"width", kModelSide}, {"height", kModelSide}, {"channels", 3}, {"order", 0},
          {"means", {0, 0, 0}}, {"vars", {1, 1, 1}}}},
        {"NamedInput", {{{"Name", "image-"}, {"DataType", "float"}, {"Shape", {1, 3, kModelSide, kModelSide}}}}},
        {"NamedOutput", {{{"Name", kOutputName}, {"DataType", "float"}, {"Shape", {100, 6}}}}},
        {"Classes", {kClassName}},
    };
    const nlohmann::json node = {{"modelUUID", kModelId}, {"resizing", options.resizing}, {"children", nlohmann::json::array()}};
    return {{"models", {model}}, {"nodes", {node}}};
}

std::map<std::string, std::string> cameraSettings(const MainJobOptions& options) {
    std::map<std::string, std::string> settings = {
        {"deviceActiveSwitch", "true"},
        {std::string("visualise_classes_") + kModelId, nlohmann::json::array({kClassName}).dump()},
    };
    const float* box = options.cropBox;
    if (box[2] > box[0] && box[3] > box[1]) {
        settings[std::string("cropBox_") + kModelId] =
            nlohmann::json{{"figure", {{"points", {{box[0], box[1]}, {box[2], box[3]}}}}}}.dump();
    }
    return settings;
}

// The square camera c draws in frame f, in pixels. It moves back and forth
// (never jumps) inside the part of the frame the model sees: the crop box,
// and for "Crop" resizing the centred square of it.
Square squareAt(const MainJobOptions& options, int camera, int frame) {
    const bool cropped = options.cropBox[2] > options.cropBox[0];
    double x0 = (cropped ? options.cropBox[0] : 0.0f) * options.width;
    double x1 = (cropped ? options.cropBox[2] : 1.0f) * options.width;
    double y0 = (cropped ? options.cropBox[1] : 0.0f) * options.height;
    double y1 = (cropped ? options.cropBox[3] : 1.0f) * options.height;
    if (options.resizing == "Crop") {
        const double side = std::min(x1 - x0, y1 - y0);
        x0 += (x1 - x0 - side) / 2, x1 = x0 + side;
        y0 += (y1 - y0 - side) / 2, y1 = y0 + side;
    }
    const int margin = 16;
    const int spanX = std::max(1, static_cast<int>(x1 - x0) - kSquareSide - 2 * margin);
    const int spanY = std::max(1, static_cast<int>(y1 - y0) - kSquareSide - 2 * margin);
    const int travel = (camera * 131 + frame * 6) % (2 * spanX);
    const int offsetX = travel < spanX ? travel : 2 * spanX - travel;
    return {static_cast<int>(x0) + margin + offsetX, static_cast<int>(y0) + margin + (camera * 97) % spanY,
            kSquareSide, 235};
}

double iou(const sdk::analytics::Rect& a, double bx, double by, double bw, double bh) {
    const double ix = std::max(0.0, std::min<double>(a.x + a.width, bx + bw) - std::max<double>(a.x, bx));
    const double iy = std::max(0.0, std::min<double>(a.y + a.height, by + bh) - std::max<double>(a.y, by));
    const double inter = ix * iy;
    const double uni = static_cast<double>(a.width) * a.height + bw * bh - inter;
    return uni > 0.0 ? inter / uni : 0.0;
}

std::string cameraId(int camera) {
    char id[48];
    std::snprintf(id, sizeof id, "{00000000-0000-0000-0000-%012d}", camera + 1);
    return id;
}

void say(FILE* log, const std::string& text) {
    if (log) std::fprintf(log, "%s\n", text.c_str());
}

}  // namespace

MainJobResult runMainJob(const MainJobOptions& options) {
    MainJobResult result;
    result.expectedTypeId = std::string("qz.qzai.") + kClassName;
    try {
        TempHome home;
        const std::vector<uint8_t> key = randomBytes(32);
        const std::string descriptor = nlohmann::json{{"mode", "find_squares"}, {"output_name", kOutputName}, {"class", 0}, {"score", 0.9}}.dump();
        const std::vector<uint8_t> body = encryptAes256Gcm(key, descriptor);
        ModelServer models(std::string(body.begin(), body.end()), base64Encode(key));
        installRuntime(home.path / "qz_kelvane", options.runtimePath);
        say(options.log, "data directory: " + (home.path / "qz_kelvane").string());
        say(options.log, "model served at " + models.url());

        TestHostOptions hostOptions;
        hostOptions.pluginPath = options.pluginPath;
        hostOptions.identity.homeDir = home.path.string();
        if (!options.iniPath.empty()) hostOptions.unitTestOptions["iniPath"] = options.iniPath;
        TestHost host(hostOptions);
        std::string error;
        if (!host.load(&error) || !host.obtainEngine(&error)) throw std::runtime_error(error);

        const nlohmann::json pipeline = pipelineDocument(options, models);
        std::vector<std::string> ids;
        for (int c = 0; c < options.cameras; ++c) {
            const std::string id = cameraId(c);
            if (!host.addCamera({id, "Camera " + std::to_string(c + 1), "QZ", "test", ""}, &error))
                throw std::runtime_error(error);
            host.server().putDevice(id, {{"name", "Camera " + std::to_string(c + 1)},
                                         {"parameters", {{"qzAI", {{"pipeline", pipeline}}}}}});
            ids.push_back(id);
        }
        for (const std::string& id : ids) host.setDeviceSettings(id, cameraSettings(options));
        say(options.log, "cameras offered their pipeline; waiting for the model and the runtime...");

        // Frames carry the wall-clock time of their push, so the agent does not
        // find them old and the tracker sees time pass.
        auto nowUs = [] {
            return std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        };
        std::map<int64_t, int> frameOfTimestamp;
        int frame = 0;
        auto pushAll = [&] {
            const int64_t timestampUs = nowUs();
            frameOfTimestamp[timestampUs] = frame;
            for (int c = 0; c < options.cameras; ++c) {
                FrameSpec frameLayout;
                frameLayout.width = options.width;
                frameLayout.height = options.height;
                frameLayout.timestampUs = timestampUs;
                frameLayout.squares = {squareAt(options, c, frame)};
                host.pushFrame(ids[static_cast<size_t>(c)], frameLayout);
            }
            ++frame;
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        };

        // Warm-up: push frames until the first packet shows that the road is open.
        const auto readyDeadline = Clock::now() + std::chrono::seconds(30);
        while (host.recorder().packets().empty()) {
            if (Clock::now() > readyDeadline) throw std::runtime_error("no packet came back within 30 s");
            pushAll();
        }
        say(options.log, "inference is running after " + std::to_string(frame) + " frame(s); pushing frames...");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        host.recorder().clear();
        frameOfTimestamp.clear();
        for (int f = 0; f < options.frames; ++f) pushAll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));

        double iouSum = 0.0;
        for (int c = 0; c < options.cameras; ++c) {
            CameraResult camera;
            camera.deviceId = ids[static_cast<size_t>(c)];
            camera.framesPushed = static_cast<size_t>(options.frames);
            std::set<std::string> tracks;
            std::string lastTrack;
            int64_t lastTimestamp = 0;
            double cameraIou = 0.0;
            for (const RecordedPacket& packet : host.recorder().packets(camera.deviceId)) {
                if (packet.kind != RecordedPacket::Kind::objects) {
                    ++camera.otherPackets;
                    continue;
                }
                ++camera.objectPackets;
                const auto frame = frameOfTimestamp.find(packet.timestampUs);
                if (frame == frameOfTimestamp.end()) {
                    ++camera.unknownTimestamps;
                    continue;
                }
                if (packet.timestampUs < lastTimestamp) result.interleaved = true;
                lastTimestamp = packet.timestampUs;
                const Square square = squareAt(options, c, frame->second);
                for (const RecordedMetadata& object : packet.items) {
                    ++camera.objects;
                    if (object.typeId != result.expectedTypeId) ++camera.wrongTypeIds;
                    const std::string track = std::to_string(object.trackId.high()) + ":" +
                                              std::to_string(object.trackId.low());
                    if (!lastTrack.empty() && track != lastTrack) ++camera.trackChanges;
                    lastTrack = track;
                    tracks.insert(track);
                    cameraIou += iou(object.box, static_cast<double>(square.x) / options.width,
                                     static_cast<double>(square.y) / options.height,
                                     static_cast<double>(square.size) / options.width,
                                     static_cast<double>(square.size) / options.height);
                }
            }
            camera.trackIds = tracks.size();
            camera.meanIou = camera.objects ? cameraIou / static_cast<double>(camera.objects) : 0.0;
            iouSum += cameraIou;
            result.objects += camera.objects;
            result.cameras.push_back(std::move(camera));
        }
        result.meanIou = result.objects ? iouSum / static_cast<double>(result.objects) : 0.0;
        const UnloadReport report = host.unload();
        result.objectsLeaked = report.objectsLeaked;
        result.ok = true;
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

void printMainJobResult(const MainJobResult& result, FILE* out) {
    if (!result.ok) {
        std::fprintf(out, "main job failed: %s\n", result.error.c_str());
        return;
    }
    std::fprintf(out, "\n%-40s %8s %8s %8s %7s %9s\n", "camera", "frames", "packets", "objects", "tracks", "mean IoU");
    for (const CameraResult& camera : result.cameras) {
        std::fprintf(out, "%-40s %8zu %8zu %8zu %7zu %9.3f\n", camera.deviceId.c_str(), camera.framesPushed,
                     camera.objectPackets, camera.objects, camera.trackIds, camera.meanIou);
        if (camera.unknownTimestamps || camera.wrongTypeIds || camera.trackChanges)
            std::fprintf(out, "  note: %zu packet(s) with an unknown timestamp, %zu wrong type id(s), %zu track change(s)\n",
                         camera.unknownTimestamps, camera.wrongTypeIds, camera.trackChanges);
    }
    std::fprintf(out, "\nobjects reported: %zu (type id %s), mean IoU against the drawn squares: %.3f\n", result.objects,
                 result.expectedTypeId.c_str(), result.meanIou);
    std::fprintf(out, "library objects left alive after unloading: %zu\n", result.objectsLeaked);
}

int mainJobCommand(int argc, char** argv) {
    MainJobOptions options;
    options.log = stdout;
    for (int i = 2; i < argc; i += 2) {
        const std::string arg = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--plugin") options.pluginPath = value;
        else if (arg == "--runtime") options.runtimePath = value;
        else if (arg == "--cameras") options.cameras = std::atoi(value.c_str());
        else if (arg == "--frames") options.frames = std::atoi(value.c_str());
        else if (arg == "--resizing") options.resizing = value;
        else if (arg == "--ini") options.iniPath = value;
        else {
            std::fprintf(stderr, "unknown or incomplete option: %s\n", arg.c_str());
            return 2;
        }
    }
    if (options.pluginPath.empty() || options.runtimePath.empty() || options.cameras < 1 || options.frames < 1) {
        std::fprintf(stderr,
                     "usage: %s --main-job --plugin <libqzai_plugin.so> --runtime <test runtime library> "
                     "[--cameras N] [--frames N] [--resizing Fit|Stretch|Crop]\n",
                     argv[0]);
        return 2;
    }
    std::printf("main job: %d camera(s), %d frame(s) each, %dx%d, resizing %s\n", options.cameras, options.frames,
                options.width, options.height, options.resizing.c_str());
    const MainJobResult result = runMainJob(options);
    printMainJobResult(result, stdout);
    return result.ok && result.meanIou >= 0.9 && result.objectsLeaked == 0 ? 0 : 1;
}

}  // namespace qz::test_host
