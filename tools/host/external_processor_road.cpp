#include "host/external_processor_road.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer's allocator
#endif

#include "host/main_job.h"
#include "host/runtime_recovery_road.h"

extern char** environ;

namespace qz::test_host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOutputName = "bboxes-format:xyxysc;0:square;1:big";
constexpr int kBigSquareSide = 100;  // model-input pixels
constexpr const char* kPeerAttribute = "processor";
constexpr int64_t kRoadTimeMs = 1500;  // the road's own time for a frame, beyond the processor's
// Frames after which the host's pools are filled: memory is measured from there.
constexpr int kWarmUpFrames = 4;

struct Expected {
    double x, y, w, h;  // fractions of the frame
};

// A TCP peer ("qz_peer --listen 0 ..."), stopped with its process group.
class TcpPeerProcess {
public:
    TcpPeerProcess(const std::string& program, const std::vector<std::string>& arguments) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> argv = {program, "--listen", "0"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> raw;
        for (std::string& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, &attributes, raw.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(pipeFds[1]);
        if (spawned != 0) {
            ::close(pipeFds[0]);
            throw std::runtime_error("cannot start " + program);
        }
        std::string line;
        char c;
        while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(pipeFds[0]);
        if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("the TCP peer printed no port");
        m_port = std::stoi(line.substr(5));
    }
    ~TcpPeerProcess() {
        ::kill(-m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// What a /proc file holds, or what was read before it failed: a process
// that ends while its files are read fails the read (ESRCH), and a stream
// would throw from it.
std::string readFile(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Resident private memory, without what the allocator merely keeps for
// reuse. Shared segments are left out: they are bounded by their reserve.
// Under AddressSanitizer, whose quarantine holds freed blocks, the bytes
// allocated and not freed.
double residentMb() {
#if defined(__SANITIZE_ADDRESS__)
    return static_cast<double>(__sanitizer_get_current_allocated_bytes()) / (1 << 20);
#endif
    ::malloc_trim(0);
    std::istringstream status(readFile("/proc/self/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0) return std::stod(line.substr(8)) / 1024.0;  // kB
    }
    return 0.0;
}

// Processor segments still open in this process (memory files keep their
// label in the descriptor's link).
size_t openSegments() {
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        count += !error && target.rfind("/memfd:Global_RandomSHM_", 0) == 0;
    }
    return count;
}

// Children of this process (alive or zombie) and the shared-memory names in
// their arguments.
std::vector<pid_t> childProcesses(std::set<std::string>* shmNames) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = readFile("/proc/" + name + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent != ::getpid()) continue;
        children.push_back(static_cast<pid_t>(std::stoi(name)));
        if (!shmNames) continue;
        std::istringstream arguments(readFile("/proc/" + name + "/cmdline"));
        std::string argument;
        while (std::getline(arguments, argument, '\0')) {
            std::istringstream parts(argument);
            std::string part;
            while (std::getline(parts, part, '|'))
                if (part.rfind("Global_RandomSHM_", 0) == 0) shmNames->insert(part);
        }
    }
    return children;
}

double iouWithExpected(const Expected& a, const qz::sdk::analytics::Rect& b) { return iou(b, a.x, a.y, a.w, a.h); }

// Mean best IoU of the expected boxes, extra reported objects counting as 0.
double frameIou(const std::vector<Expected>& expected, const RecordedPacket& packet) {
    if (expected.empty()) return packet.items.empty() ? 1.0 : 0.0;
    double sum = 0.0;
    for (const Expected& e : expected) {
        double best = 0.0;
        for (const RecordedMetadata& item : packet.items) best = std::max(best, iouWithExpected(e, item.box));
        sum += best;
    }
    return sum / static_cast<double>(std::max(expected.size(), packet.items.size()));
}

struct ModeSetup {
    std::string behaviour;  // empty: no processor
    bool pre = false;
    bool tensorSchedule = false;
    bool mirrored = false;
    bool smallOnly = false;
};

ModeSetup setupOf(const std::string& mode) {
    if (mode == "flip") return {"imageflip", true, false, true, false};
    if (mode == "tensorflip") return {"tensorflip", true, true, true, false};
    if (mode == "dropclass") return {"dropclass", false, true, false, true};
    if (mode == "drop") return {"objects", false, false, false, true};
    if (mode == "none") return {};
    throw std::runtime_error("unknown external processor mode " + mode);
}

}  // namespace

ExternalProcessorRoadResult runExternalProcessorRoad(const ExternalProcessorRoadOptions& options) {
    ExternalProcessorRoadResult result;
    try {
        const ModeSetup mode = setupOf(options.mode);
        const std::string behaviour = options.peerBehaviour.empty() ? mode.behaviour : options.peerBehaviour;
        RoadRigOptions rig;
        rig.pluginPath = options.pluginPath;
        rig.runtimePath = options.runtimePath;
        rig.resizing = options.resizing;
        rig.outputName = kOutputName;
        rig.classes = {"square", "big"};
        rig.modelDescriptor = nlohmann::json{{"mode", "find_squares"}, {"output_name", kOutputName},
                                             {"class", 0}, {"score", 0.9}, {"bigSquareSide", kBigSquareSide}}
                                  .dump();
        std::unique_ptr<TcpPeerProcess> tcp;
        if (!behaviour.empty()) {
            const std::string name = "peer:" + behaviour + ":drop=big:attr=" + kPeerAttribute + ":k=1" +
                                     options.peerOptions;
            nlohmann::ordered_json entry = {{"Name", name}, {"TimeoutMs", options.timeoutMs}};
            if (options.transport == "tcp") {
                tcp = std::make_unique<TcpPeerProcess>(options.peerPath, std::vector<std::string>{"--ProcessorName", name});
                entry["Port"] = tcp->port();
            } else {
                entry["Command"] = options.peerPath;
            }
            if (mode.tensorSchedule) entry["Schedule"] = "TENSOR";
            const std::string text = nlohmann::ordered_json::array({entry}).dump();
            if (mode.pre) {
                rig.externalPreprocessors = text;
                rig.preprocessor = name;
            } else {
                rig.externalPostprocessors = text;
                rig.postprocessor = name;
            }
        }
        RoadRig road(rig);

        // Off-centre squares: small near the top left, big right of centre.
        const double W = options.width, H = options.height;
        const Square small{static_cast<int>(W * 0.12), static_cast<int>(H * 0.2), static_cast<int>(H * 0.1), 235};
        const Square big{static_cast<int>(W * 0.55), static_cast<int>(H * 0.45), static_cast<int>(H * 0.3), 235};
        auto box = [&](const Square& s, bool mirror) {
            const double x = s.x / W, w = s.size / W;
            return Expected{mirror ? 1.0 - x - w : x, s.y / H, w, s.size / H};
        };
        const std::vector<Expected> drawn = {box(small, false), box(big, false)};
        std::vector<Expected> answered;
        if (mode.behaviour.empty()) answered = drawn;
        else if (mode.smallOnly) answered = {box(small, false)};
        else answered = {box(small, true), box(big, true)};

        const std::string camera = road.cameraIds()[0];
        int64_t stamp = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
        double answeredSum = 0.0, unchangedSum = 0.0;
        double residentAtFirst = 0.0;
        const auto start = Clock::now();
        auto sinceStart = [&start] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        };
        result.pushedAtMs.assign(static_cast<size_t>(options.frames), -1);
        result.answeredAtMs.assign(static_cast<size_t>(options.frames), -1);
        for (int f = 0; f < options.frames; ++f) {
            if (f == kWarmUpFrames) residentAtFirst = residentMb();
            stamp += 150000;
            FrameLayout frame;
            frame.width = options.width;
            frame.height = options.height;
            frame.timestampUs = stamp;
            frame.squares = {small, big};
            const auto pushedAt = Clock::now();
            result.pushedAtMs[f] = sinceStart();
            if (!road.host().pushFrame(camera, frame).isOk()) continue;
            ++result.framesPushed;
            const int64_t wait = static_cast<int64_t>(options.timeoutMs) + kRoadTimeMs;
            const bool arrived = road.host().recorder().waitUntil(
                [&](const std::vector<RecordedPacket>& packets) {
                    for (const RecordedPacket& p : packets)
                        if (p.kind == RecordedPacket::Kind::objects && p.timestampUs == stamp) return true;
                    return false;
                },
                std::chrono::milliseconds(wait));
            // A frame whose tracks are still too young to report has no packet.
            if (arrived)
                result.slowestPacketMs = std::max<int64_t>(
                    result.slowestPacketMs,
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pushedAt).count());
            for (const RecordedPacket& packet : road.host().recorder().packets(camera)) {
                if (packet.timestampUs != stamp || packet.kind != RecordedPacket::Kind::objects) continue;
                ++result.packets;
                if (packet.items.empty()) break;  // a track still too young to report
                const double withProcessor = frameIou(answered, packet);
                const double withoutProcessor = frameIou(drawn, packet);
                if (!mode.behaviour.empty() && withProcessor > withoutProcessor) {
                    ++result.processorAnswered;
                    result.answeredAtMs[f] = sinceStart();
                    answeredSum += withProcessor;
                    for (const RecordedMetadata& item : packet.items) {
                        if (iouWithExpected(answered[0], item.box) > 0.5)
                            result.smallTrackIds.insert(qz::sdk::uuidToString(item.trackId));
                        for (const auto& [name, value] : item.attributes) result.attributesSeen += name == kPeerAttribute;
                    }
                } else {
                    ++result.unchanged;
                    unchangedSum += withoutProcessor;
                    if (mode.behaviour.empty()) {
                        ++result.processorAnswered;
                        answeredSum += withoutProcessor;
                    } else if (result.processorAnswered > 0 && result.firstUnchangedAfterAnswer == 0) {
                        result.firstUnchangedAfterAnswer = static_cast<size_t>(f);
                    }
                }
                break;
            }
        }
        for (const RecordedPacket& packet : road.host().recorder().packets(camera)) {
            if (packet.kind == RecordedPacket::Kind::bestShot) ++result.bestShots;
            if (packet.kind == RecordedPacket::Kind::events)
                for (const RecordedMetadata& item : packet.items) result.peerEvents += item.description == "answered";
        }
        if (result.processorAnswered > 0) result.meanIou = answeredSum / static_cast<double>(result.processorAnswered);
        if (result.unchanged > 0) result.meanIouUnchanged = unchangedSum / static_cast<double>(result.unchanged);
        result.crashLines = roadLogCount(road, "ERROR: External process crashed!");
        if (!options.countLine.empty()) result.countedLines = roadLogCount(road, options.countLine);
        if (options.hostCosts) {
            result.residentGrowthMb = residentMb() - residentAtFirst;
            // A measuring window, not a wait: nothing is expected to happen in it.
            const double before = cpuSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(1));
            result.idleCpuSeconds = cpuSeconds() - before;
        }
        if (options.unloadInFlight || options.hostCosts) {
            for (int f = 0; f < (options.unloadInFlight ? 3 : 0); ++f) {
                FrameLayout frame;
                frame.width = options.width;
                frame.height = options.height;
                frame.timestampUs = stamp += 150000;
                frame.squares = {small, big};
                road.host().pushFrame(camera, frame);
            }
            std::set<std::string> shmNames;
            const std::vector<pid_t> before = childProcesses(&shmNames);
            result.childrenBeforeUnload = before.size();
            const auto unloadStart = Clock::now();
            road.host().unload();
            result.unloadMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - unloadStart).count();
            for (pid_t child : childProcesses(nullptr))
                result.childrenLeft += std::find(before.begin(), before.end(), child) != before.end() &&
                                       !(tcp && child == tcp->pid());
            for (const std::string& name : shmNames) result.shmNamesLeft += std::filesystem::exists("/dev/shm/" + name);
            result.shmNamesLeft += openSegments();
        }
        result.ok = true;
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

void printExternalProcessorRoadResult(const ExternalProcessorRoadOptions& options,
                                      const ExternalProcessorRoadResult& result, FILE* out) {
    std::fprintf(out, "\nexternal processor road: mode %s over %s, %d frame(s) %dx%d, resizing %s\n",
                 options.mode.c_str(), options.transport.c_str(), options.frames, options.width, options.height,
                 options.resizing.c_str());
    if (!result.ok) {
        std::fprintf(out, "  failed: %s\n", result.error.c_str());
        return;
    }
    std::fprintf(out, "  frames pushed %zu, object packets %zu\n", result.framesPushed, result.packets);
    std::fprintf(out, "  exchanges the processor answered (frames showing its answer): %zu\n", result.processorAnswered);
    std::fprintf(out, "  mean IoU against the expected squares: %.3f\n", result.meanIou);
    std::fprintf(out, "  frames showing the drawn squares instead: %zu\n", result.unchanged);
    if (options.mode == "drop")
        std::fprintf(out, "  attributes set %zu, events added %zu, best shots %zu, small-square track ids %zu\n",
                     result.attributesSeen, result.peerEvents, result.bestShots, result.smallTrackIds.size());
    std::fprintf(out, "  external processor road %s\n", externalProcessorRoadPassed(result) ? "PASSED" : "FAILED");
}

bool externalProcessorRoadPassed(const ExternalProcessorRoadResult& result) {
    return result.ok && result.processorAnswered > 0 && result.meanIou >= 0.9;
}

}  // namespace qz::test_host
