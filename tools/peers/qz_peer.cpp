// qz_peer: the external-processor end of both transports, for tests and
// benchmarks. Written from the wire protocol alone (it shares no code with
// the plug-in), so a fault common to both ends cannot hide.
//
//   qz_peer <to-process descriptor> <from-process descriptor> [--key value]...
//   qz_peer --listen 0 [--key value]...
//
// Shared memory: the descriptors are "<event 0>|<event 1>|<control>|<data>"
// with the events as offsets of 32-bit wake words in the control segment. The
// peer writes slot 1 (byte 1) and sets event 1; it waits on event 0 and reads
// slot 0. TCP: binds 127.0.0.1 (port 0 picks one), prints "PORT <n>", and
// serves one connection at a time in a forked worker, so a worker that
// crashes leaves the listener running. A frame is a 4-byte little-endian
// length and that many bytes.
//
// The behaviour comes from "--Behaviour <name>" or from a "--ProcessorName"
// of the form "peer:<name>[:key=value]..."; every other "--key value" pair is
// an option too. Behaviours:
//   echo          answer each request with its bytes (default; over shared
//                 memory written straight from the request once the answer
//                 fits the response segment)
//   respond       answer with size=<n> bytes (byte i is i % 251); split=1
//                 sends the TCP header in two pieces
//   delay         echo after ms=<n>
//   readyafter    signal ready after ms=<n> and once the file readyfile=<path>
//                 exists (when given), printing "READY"
//   neverready    never signal ready
//   lateack       acknowledge the first request after ms=<n> (1500)
//   crashafterack SIGSEGV after acknowledging the first request
//   crashmid      SIGSEGV in the middle of the first response (shm: after
//                 writing its length; TCP: after half a frame)
//   exit          after ms=<n>, print a line to stdout and stderr, exit with code=<n>
//   ignoreexit    echo, ignoring the exit signal and SIGTERM; grandchild=1
//                 leaves a sleeping child in the group ("GRANDCHILD <pid>")
//   flood         write bytes=<n> (1 MiB) to stdout ending in "END", exit code=<n> (3)
//   garbage       shm: signal byte 9 first; TCP: answer the first request with a
//                 header of 200,000,000 bytes, 10 bytes and a close
//   biglength     shm: a response length above the capacity; TCP: header 0xFFFFFFFF
//   neverread     never take a request
// Hostile shared-memory options, with any behaviour (each tried once; the
// peer goes on as usual whether it worked or not):
//   shrink=control   cut the response channel's control segment to 0 bytes
//                    right after signalling ready
//   shrink=request   cut the request data segment to 0 after taking the
//                    first request
//   shrink=response  make the first answer pad=<n> bytes (64 MiB) longer
//                    (zeros after the message) and cut the response data
//                    segment to 0 right after its data notice
//   realloc=removed  before the first answer, remove the response data
//                    segment's name (when it has one) and signal a growth
// Slow or hostile TCP options, with any behaviour:
//   pause=<ms>       on the first connection, read nothing for that long
//                    once request number pauseat=<n> (0) begins to arrive
//   rcvbuf=<bytes>   fix the receive buffer of every connection at that size
//                    (no growth with the traffic)
//   padat=<n>        make the answers to request number n (from 0) pad=<n>
//                    bytes (64 MiB) longer (zeros after the message)
// MessagePack behaviours (requests are maps with "Timestamp" and "DeviceID"):
//   reverse       answer batches of k=<n> (8) echoes in reverse order
//   otherid       echo with "DeviceID" = "other"
//   othertime     echo with "Timestamp" one higher
//   numberid      echo with "DeviceID" as the number 7
//   noidentity    echo without "Timestamp"
//   mpgarbage     answer with the byte c1
//   mixed         drop requests whose Timestamp % 4 is 3, answer the others
//                 in reversed batches of 4
// The external-processor behaviours are listed in qz_peer_processors.h.
// With only=<n>, the altering behaviours alter the first n answers and echo
// the rest. When QZ_PEER_RECORD_DIR is set, the peer writes its arguments to
// "argv" (one a line) and each request to "request-<pid>-<n>" there.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <msgpack.h>

#include "qz_peer_processors.h"

namespace {

constexpr size_t kReserve = 209'715'200;

std::map<std::string, std::string> g_options;
std::string g_behaviour = "echo";

long option(const char* key, long fallback) {
    const auto it = g_options.find(key);
    return it == g_options.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
}

void say(const std::string& line) {
    const std::string text = line + "\n";
    ssize_t ignored = ::write(1, text.data(), text.size());
    (void)ignored;
}

void sleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

[[noreturn]] void crash() {
    ::signal(SIGSEGV, SIG_DFL);
    ::raise(SIGSEGV);
    ::_exit(99);
}

std::vector<uint8_t> patterned(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    return bytes;
}


// ---- MessagePack behaviours -------------------------------------------------

std::string g_recordDir;
long g_requests = 0;

void record(const std::string& name, const void* bytes, size_t size) {
    if (g_recordDir.empty()) return;
    // Written in place: a reader waits for the whole text (closing the file
    // is the last event it sees).
    FILE* file = std::fopen((g_recordDir + "/" + name).c_str(), "wb");
    if (file == nullptr) return;
    if (size > 0) std::fwrite(bytes, 1, size, file);
    std::fclose(file);
}

bool keyIs(const msgpack_object& key, const char* name) {
    return key.type == MSGPACK_OBJECT_STR && key.via.str.size == std::strlen(name) &&
           std::memcmp(key.via.str.ptr, name, key.via.str.size) == 0;
}

// The request's map with its identity altered as the behaviour says.
std::vector<uint8_t> altered(const std::vector<uint8_t>& request) {
    msgpack_unpacked message;
    msgpack_unpacked_init(&message);
    size_t offset = 0;
    if (msgpack_unpack_next(&message, reinterpret_cast<const char*>(request.data()), request.size(), &offset) !=
            MSGPACK_UNPACK_SUCCESS ||
        message.data.type != MSGPACK_OBJECT_MAP) {
        msgpack_unpacked_destroy(&message);
        return request;
    }
    const msgpack_object_map& map = message.data.via.map;
    msgpack_sbuffer buffer;
    msgpack_sbuffer_init(&buffer);
    msgpack_packer packer;
    msgpack_packer_init(&packer, &buffer, msgpack_sbuffer_write);
    uint32_t pairs = map.size;
    if (g_behaviour == "noidentity") {
        for (uint32_t i = 0; i < map.size; ++i) pairs -= keyIs(map.ptr[i].key, "Timestamp") ? 1 : 0;
    }
    msgpack_pack_map(&packer, pairs);
    for (uint32_t i = 0; i < map.size; ++i) {
        const msgpack_object& key = map.ptr[i].key;
        const msgpack_object& value = map.ptr[i].val;
        if (g_behaviour == "noidentity" && keyIs(key, "Timestamp")) continue;
        msgpack_pack_object(&packer, key);
        if (g_behaviour == "otherid" && keyIs(key, "DeviceID")) {
            msgpack_pack_str_with_body(&packer, "other", 5);
        } else if (g_behaviour == "numberid" && keyIs(key, "DeviceID")) {
            msgpack_pack_int64(&packer, 7);
        } else if (g_behaviour == "othertime" && keyIs(key, "Timestamp")) {
            msgpack_pack_int64(&packer, value.via.i64 + 1);
        } else {
            msgpack_pack_object(&packer, value);
        }
    }
    std::vector<uint8_t> out(buffer.data, buffer.data + buffer.size);
    msgpack_sbuffer_destroy(&buffer);
    msgpack_unpacked_destroy(&message);
    return out;
}

int64_t timestampOf(const std::vector<uint8_t>& request) {
    msgpack_unpacked message;
    msgpack_unpacked_init(&message);
    size_t offset = 0;
    int64_t timestamp = 0;
    if (msgpack_unpack_next(&message, reinterpret_cast<const char*>(request.data()), request.size(), &offset) ==
            MSGPACK_UNPACK_SUCCESS &&
        message.data.type == MSGPACK_OBJECT_MAP) {
        for (uint32_t i = 0; i < message.data.via.map.size; ++i) {
            if (keyIs(message.data.via.map.ptr[i].key, "Timestamp")) timestamp = message.data.via.map.ptr[i].val.via.i64;
        }
    }
    msgpack_unpacked_destroy(&message);
    return timestamp;
}

// The responses to send after this request (none, one, or a whole batch);
// nothing when the answer is the request itself, which is then sent as it is
// rather than copied.
std::optional<std::vector<std::vector<uint8_t>>> answersTo(const std::vector<uint8_t>& request) {
    using Answers = std::vector<std::vector<uint8_t>>;
    static Answers batch;
    record("request-" + std::to_string(::getpid()) + "-" + std::to_string(g_requests), request.data(),
           request.size());
    const long index = g_requests++;
    if (auto answers = qz_peer::processorAnswers(g_behaviour, g_options, request, index)) return *answers;
    const bool alter = index < option("only", LONG_MAX);
    if (g_behaviour == "reverse" || g_behaviour == "mixed") {
        if (g_behaviour == "mixed" && timestampOf(request) % 4 == 3) return Answers{};
        batch.push_back(request);
        if (static_cast<long>(batch.size()) < option("k", g_behaviour == "mixed" ? 4 : 8)) return Answers{};
        Answers out(batch.rbegin(), batch.rend());
        batch.clear();
        return out;
    }
    if (alter && g_behaviour == "mpgarbage") return Answers{{0xc1}};
    if (alter && (g_behaviour == "otherid" || g_behaviour == "othertime" || g_behaviour == "numberid" ||
                  g_behaviour == "noidentity")) {
        return Answers{altered(request)};
    }
    return std::nullopt;
}

// ---- shared memory --------------------------------------------------------

struct Segment {
    std::string name;
    int fd = -1;
    uint8_t* view = nullptr;
    size_t capacity = 0;

    bool open() {
        if (view != nullptr) ::munmap(view, kReserve);
        if (fd >= 0) ::close(fd);
        view = nullptr;
        // A path ("/proc/self/fd/<n>", an inherited segment) or a shm name.
        fd = name.rfind('/', 0) == 0 ? ::open(name.c_str(), O_RDWR | O_CLOEXEC)
                                     : ::shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) return false;
        void* mapped = ::mmap(nullptr, kReserve, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) return false;
        view = static_cast<uint8_t*>(mapped);
        return refreshCapacity();
    }
    bool refreshCapacity() {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return false;
        capacity = static_cast<size_t>(st.st_size);
        return true;
    }
};

// Tries to cut a segment to nothing under the other side's mappings.
void shrink(Segment& segment) {
    const int rc = ::ftruncate(segment.fd, 0);
    std::fprintf(stderr, "qz_peer: shrinking a segment: %s\n", rc == 0 ? "done" : std::strerror(errno));
    if (rc == 0) segment.capacity = 0;
}

struct Channel {
    Segment control;
    Segment data;
    uint32_t* setByCreator = nullptr;  // event 0
    uint32_t* setByUs = nullptr;       // event 1
    bool ackPending = false;

    bool open(const std::string& descriptor) {
        const size_t a = descriptor.find('|');
        const size_t b = descriptor.find('|', a + 1);
        const size_t c = descriptor.find('|', b + 1);
        if (a == std::string::npos || b == std::string::npos || c == std::string::npos) return false;
        const unsigned long event0 = std::strtoul(descriptor.substr(0, a).c_str(), nullptr, 16);
        const unsigned long event1 = std::strtoul(descriptor.substr(a + 1, b - a - 1).c_str(), nullptr, 16);
        control.name = descriptor.substr(b + 1, c - b - 1);
        data.name = descriptor.substr(c + 1);
        if (!control.open() || !data.open()) return false;
        if (event0 % 4 != 0 || event1 % 4 != 0 || event0 + 4 > control.capacity || event1 + 4 > control.capacity) {
            return false;
        }
        setByCreator = reinterpret_cast<uint32_t*>(control.view + event0);
        setByUs = reinterpret_cast<uint32_t*>(control.view + event1);
        return true;
    }

    uint8_t theirByte() const { return std::atomic_ref<uint8_t>(control.view[0]).load(std::memory_order_acquire); }

    void signal(uint8_t byte) {
        std::atomic_ref<uint8_t>(control.view[1]).store(byte, std::memory_order_release);
        std::atomic_ref<uint32_t>(*setByUs).store(1, std::memory_order_release);
        ::syscall(SYS_futex, setByUs, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    }

    // Takes event 0; false after `ms` (negative: no limit).
    bool wait(long ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
        for (;;) {
            if (std::atomic_ref<uint32_t>(*setByCreator).exchange(0) == 1) return true;
            timespec ts{};
            timespec* timeout = nullptr;
            if (ms >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0) return false;
                ts.tv_sec = left / 1'000'000'000;
                ts.tv_nsec = left % 1'000'000'000;
                timeout = &ts;
            }
            ::syscall(SYS_futex, setByCreator, FUTEX_WAIT, 0, timeout, nullptr, 0);
        }
    }

    // Places one response: grows the segment when needed (2, wait for 0) and
    // writes it. False when it could not (nothing is to be announced).
    bool place(std::span<const uint8_t> body, bool crashMidway, bool lengthAboveCapacity) {
        if (ackPending && wait(5000)) ackPending = false;
        const size_t needed = body.size() + 4;
        if (data.capacity < needed) {
            const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
            if (::posix_fallocate(data.fd, 0, static_cast<off_t>((needed + page - 1) / page * page)) != 0) return false;
            data.refreshCapacity();
            signal(2);
            if (!wait(1000) || theirByte() != 0) return false;
        }
        uint32_t length = static_cast<uint32_t>(body.size());
        if (lengthAboveCapacity) length = static_cast<uint32_t>(data.capacity);
        std::memcpy(data.view, &length, 4);
        if (crashMidway) crash();
        if (!body.empty()) std::memcpy(data.view + 4, body.data(), body.size());
        return true;
    }

    // Announces the placed response (1) and waits a while for its acknowledgement.
    void announce(bool shrinkAfterNotice = false) {
        signal(1);
        if (shrinkAfterNotice) shrink(data);
        ackPending = !wait(2000);
    }

    void respond(std::span<const uint8_t> body, bool crashMidway, bool lengthAboveCapacity,
                 bool shrinkAfterNotice = false) {
        if (place(body, crashMidway, lengthAboveCapacity)) announce(shrinkAfterNotice);
    }
};

int runSharedMemory(const char* toDescriptor, const char* fromDescriptor) {
    Channel to;
    Channel from;
    if (!to.open(toDescriptor) || !from.open(fromDescriptor)) {
        std::fprintf(stderr, "qz_peer: cannot open the channels\n");
        return 2;
    }
    if (g_behaviour == "readyafter") {
        sleepMs(option("ms", 0));
        const auto file = g_options.find("readyfile");
        while (file != g_options.end() && ::access(file->second.c_str(), F_OK) != 0) sleepMs(10);
    }
    if (g_behaviour != "neverready") {
        to.signal(4);
        from.signal(4);  // the system's receive skips this one
        if (g_behaviour == "readyafter") say("READY");
    }
    if (g_behaviour == "garbage") from.signal(9);
    const auto hostile = g_options.find("shrink");
    const std::string shrinkWhat = hostile == g_options.end() ? "" : hostile->second;
    const bool reallocRemoved = g_options.count("realloc") != 0;
    if (shrinkWhat == "control") shrink(from.control);
    // A plain echo answers from the request where it lies and takes the
    // request once the answer is written: one copy, as a processor that reads
    // its input in place makes (the first answer, which grows the segment,
    // goes the ordinary way).
    const bool echoInPlace = g_behaviour == "echo" && g_recordDir.empty() && shrinkWhat.empty() && !reallocRemoved;
    bool first = true;
    // Kept from one request to the next, so large requests reuse its pages.
    std::vector<uint8_t> request;
    for (;;) {
        if (!to.wait(-1)) continue;
        const uint8_t byte = to.theirByte();
        if (byte == 5) {
            if (g_behaviour == "ignoreexit") continue;
            return 0;
        }
        if (byte == 2) {
            to.data.refreshCapacity();
            to.signal(0);
            continue;
        }
        if (byte != 1 || g_behaviour == "neverread") continue;
        uint32_t length = 0;
        std::memcpy(&length, to.data.view, 4);
        if (!to.data.refreshCapacity() || length > to.data.capacity - 4) {
            to.signal(0);
            continue;
        }
        // Only when placing the answer waits for nothing from the other side,
        // which may be waiting for this request to be taken.
        if (echoInPlace && !from.ackPending && from.data.capacity >= size_t{length} + 4) {
            from.place({to.data.view + 4, length}, false, false);
            to.signal(0);
            from.announce();
            continue;
        }
        request.assign(to.data.view + 4, to.data.view + 4 + length);
        if (g_behaviour == "lateack" && first) sleepMs(option("ms", 1500));
        to.signal(0);
        if (shrinkWhat == "request" && first) shrink(to.data);
        if (reallocRemoved && first) {
            if (from.data.name.rfind('/', 0) != 0) ::shm_unlink(("/" + from.data.name).c_str());
            from.signal(2);
            if (from.wait(1000)) std::fprintf(stderr, "qz_peer: growth signal answered with %d\n", from.theirByte());
        }
        if (g_behaviour == "crashafterack") crash();
        if (g_behaviour == "delay") sleepMs(option("ms", 0));
        const bool isFirst = first;
        first = false;
        if (g_behaviour == "respond") {
            from.respond(patterned(static_cast<size_t>(option("size", 0))), false, false);
        } else if (g_behaviour == "crashmid" || g_behaviour == "biglength") {
            from.respond(request, g_behaviour == "crashmid" && isFirst, g_behaviour == "biglength" && isFirst);
        } else if (const auto answers = answersTo(request)) {
            for (const auto& answer : *answers) {
                if (shrinkWhat == "response" && isFirst) {
                    std::vector<uint8_t> padded = answer;
                    padded.resize(answer.size() + static_cast<size_t>(option("pad", 64l << 20)));
                    from.respond(padded, false, false, true);
                    continue;
                }
                from.respond(answer, false, false);
            }
        } else {
            from.respond(request, false, false);
        }
    }
}

// ---- TCP ------------------------------------------------------------------

bool sendAll(int fd, const void* bytes, size_t size) {
    const char* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = ::send(fd, at, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, void* bytes, size_t size) {
    char* at = static_cast<char*>(bytes);
    while (size > 0) {
        const ssize_t n = ::recv(fd, at, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool sendFrame(int fd, const std::vector<uint8_t>& body, bool splitHeader) {
    const uint32_t length = static_cast<uint32_t>(body.size());
    const uint8_t header[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    if (splitHeader) {
        if (!sendAll(fd, header, 1)) return false;
        sleepMs(50);
        if (!sendAll(fd, header + 1, 3)) return false;
    } else if (!sendAll(fd, header, 4)) {
        return false;
    }
    return body.empty() || sendAll(fd, body.data(), body.size());
}

// Returns once the client has closed or reset the connection, without reading.
void waitForClose(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    while (::poll(&p, 1, -1) >= 0 && p.revents == 0) {
    }
}

void serveConnection(int fd, bool firstConnection) {
    if (g_behaviour == "neverread") {
        waitForClose(fd);
        return;
    }
    bool first = firstConnection;
    const long pauseAt = firstConnection ? option("pauseat", 0) : -1;
    const long padAt = option("padat", -1);
    for (long index = 0;; ++index) {
        if (index == pauseAt) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, -1);
            sleepMs(option("pause", 0));
        }
        uint8_t header[4];
        if (!receiveAll(fd, header, 4)) return;
        const uint32_t length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                                static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
        std::vector<uint8_t> request(length);
        if (length > 0 && !receiveAll(fd, request.data(), length)) return;
        const bool isFirst = first;
        first = false;
        if (g_behaviour == "garbage" && isFirst) {
            const uint8_t lie[4] = {0x00, 0xC2, 0xEB, 0x0B};  // 200,000,000
            sendAll(fd, lie, 4);
            sendAll(fd, "0123456789", 10);
            return;
        }
        if (g_behaviour == "biglength" && isFirst) {
            const uint8_t lie[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            sendAll(fd, lie, 4);
            waitForClose(fd);
            return;
        }
        if (g_behaviour == "crashmid" && isFirst) {
            std::vector<uint8_t> frame(4 + request.size());
            std::memcpy(frame.data(), header, 4);
            if (!request.empty()) std::memcpy(frame.data() + 4, request.data(), request.size());
            sendAll(fd, frame.data(), frame.size() / 2);
            crash();
        }
        if (g_behaviour == "delay") sleepMs(option("ms", 0));
        const bool split = option("split", 0) != 0;
        if (g_behaviour == "respond") {
            if (!sendFrame(fd, patterned(static_cast<size_t>(option("size", 0))), split)) return;
            continue;
        }
        const auto answers = answersTo(request);
        auto answer = [&](const std::vector<uint8_t>& body) {
            if (index != padAt) return sendFrame(fd, body, split);
            std::vector<uint8_t> padded = body;
            padded.resize(body.size() + static_cast<size_t>(option("pad", 64l << 20)));
            return sendFrame(fd, padded, split);
        };
        if (!answers) {
            if (!answer(request)) return;
            continue;
        }
        for (const auto& body : *answers) {
            if (!answer(body)) return;
        }
    }
}

int runTcp(uint16_t port) {
    // Started by a test rather than by the plug-in: end with whoever started it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Set before listening, so accepted connections inherit it.
    if (const int rcvbuf = static_cast<int>(option("rcvbuf", 0)); rcvbuf > 0)
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 8) != 0) {
        std::perror("qz_peer: listen");
        return 2;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    say("PORT " + std::to_string(ntohs(address.sin_port)));
    bool firstConnection = true;
    for (;;) {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR) continue;
            return 2;
        }
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const pid_t worker = ::fork();
        if (worker == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(listener);
            serveConnection(connection, firstConnection);
            ::_exit(0);
        }
        ::close(connection);
        if (worker > 0) ::waitpid(worker, nullptr, 0);
        firstConnection = false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    bool tcp = false;
    long port = 0;
    if (argc >= 3 && std::strcmp(argv[1], "--listen") == 0) {
        tcp = true;
        port = std::strtol(argv[2], nullptr, 10);
        first = 3;
    } else if (argc >= 3) {
        first = 3;
    } else {
        std::fprintf(stderr, "usage: qz_peer <to> <from> [--key value]... | qz_peer --listen <port> [--key value]...\n");
        return 2;
    }
    for (int i = first; i + 1 < argc; i += 2) {
        if (std::strncmp(argv[i], "--", 2) != 0) continue;
        const std::string key = argv[i] + 2;
        const std::string value = argv[i + 1];
        if (key == "Behaviour") {
            g_behaviour = value;
        } else if (key == "ProcessorName" && value.rfind("peer:", 0) == 0) {
            std::string rest = value.substr(5);
            size_t colon = rest.find(':');
            g_behaviour = rest.substr(0, colon);
            while (colon != std::string::npos) {
                rest = rest.substr(colon + 1);
                colon = rest.find(':');
                const std::string item = rest.substr(0, colon);
                const size_t equals = item.find('=');
                if (equals != std::string::npos) g_options[item.substr(0, equals)] = item.substr(equals + 1);
            }
        } else {
            g_options[key] = value;
        }
    }

    if (const char* dir = std::getenv("QZ_PEER_RECORD_DIR")) {
        g_recordDir = dir;
        std::string lines;
        for (int i = 1; i < argc; ++i) lines += std::string(argv[i]) + "\n";
        record("argv", lines.data(), lines.size());
    }
    if (g_behaviour == "exit") {
        sleepMs(option("ms", 0));
        say("qz_peer: exiting at start");
        std::fprintf(stderr, "qz_peer: exit code %ld\n", option("code", 0));
        return static_cast<int>(option("code", 0));
    }
    if (g_behaviour == "flood") {
        std::string chunk(4096, 'x');
        long left = option("bytes", 1 << 20);
        while (left > 0) {
            const size_t take = static_cast<size_t>(std::min<long>(left, static_cast<long>(chunk.size())));
            if (::write(1, chunk.data(), take) <= 0) break;
            left -= static_cast<long>(take);
        }
        say("END");
        return static_cast<int>(option("code", 3));
    }
    if (g_behaviour == "ignoreexit") {
        ::signal(SIGTERM, SIG_IGN);
        if (option("grandchild", 0) != 0) {
            const pid_t grandchild = ::fork();
            if (grandchild == 0) {
                for (;;) ::pause();
            }
            say("GRANDCHILD " + std::to_string(grandchild));
        }
    }
    if (tcp) return runTcp(static_cast<uint16_t>(port));
    return runSharedMemory(argv[1], argv[2]);
}
