#include "external/ipc_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <random>

#include "common/log.h"
#include "platform/futex_event.h"
#include "platform/shared_memory.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// A peer that keeps setting its event cannot hold a send in the drain.
constexpr int kMaxStaleSignals = 64;
constexpr size_t kSystemMessageBytes = 1024;
constexpr uintptr_t kEvent0Offset = 8;
constexpr uintptr_t kEvent1Offset = 12;
constexpr size_t kControlSegmentBytes = 2;

std::once_flag g_seedOnce;
std::mutex g_generatorMutex;
std::mt19937* g_generator = nullptr;

uint32_t drawNameNumber() {
    std::call_once(g_seedOnce, [] {
        std::random_device device;
        static std::mt19937 generator(device());
        g_generator = &generator;
    });
    std::lock_guard<std::mutex> lock(g_generatorMutex);
    return std::uniform_int_distribution<uint32_t>(0, UINT32_MAX)(*g_generator);
}

void* handleAsPointer(int handle) { return reinterpret_cast<void*>(static_cast<intptr_t>(handle)); }

// errno's text, for the "%.*s" of the log lines.
struct SystemText {
    explicit SystemText(int code) { length = formatSystemMessage(code, text, sizeof text); }
    char text[kSystemMessageBytes];
    int length = 0;
};

uint8_t loadByte(const uint8_t* slot) {
    return std::atomic_ref<uint8_t>(*const_cast<uint8_t*>(slot)).load(std::memory_order_acquire);
}

void storeByte(uint8_t* slot, uint8_t value) {
    std::atomic_ref<uint8_t>(*slot).store(value, std::memory_order_release);
}

uint32_t* wordAt(const IpcChannel* channel, uintptr_t offset) {
    return reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(channel->control.view) + offset);
}

uint8_t* outgoingSlot(const IpcChannel* channel) { return channel->role == 1 ? channel->slot0 : channel->slot1; }
uint8_t* incomingSlot(const IpcChannel* channel) { return channel->role == 1 ? channel->slot1 : channel->slot0; }
uint32_t* outgoingEvent(const IpcChannel* channel) {
    return wordAt(channel, channel->role == 1 ? channel->event0 : channel->event1);
}
uint32_t* incomingEvent(const IpcChannel* channel) {
    return wordAt(channel, channel->role == 1 ? channel->event1 : channel->event0);
}

bool hasIncoming(const IpcChannel* channel) {
    return channel != nullptr && incomingSlot(channel) != nullptr && channel->control.attached;
}

// Waits for the incoming event; true when it was set.
bool waitIncoming(IpcChannel* channel, int64_t timeoutMs, bool cancellable) {
    return futexEventWait(incomingEvent(channel), timeoutMs, cancellable ? &channel->cancelled : nullptr) ==
           FutexWaitResult::Set;
}

// Waits for the acknowledgement of a send; ipcChannelCancelSends ends it.
bool waitSendAck(IpcChannel* channel, int64_t timeoutMs) {
    return futexEventWait(incomingEvent(channel), timeoutMs, &channel->sendCancelled) == FutexWaitResult::Set;
}

IpcResult signalByte(IpcChannel* channel, uint8_t byte) {
    if (channel == nullptr || outgoingSlot(channel) == nullptr || !channel->control.attached) return kIpcInvalid;
    storeByte(outgoingSlot(channel), byte);
    return futexEventSet(outgoingEvent(channel)) ? kIpcOk : kIpcSetFailed;
}

void sharedMemoryDetach(SharedMemorySegment* segment) {
    if (segment->attached) shmUnmapReserve(segment->view);
    segment->attached = false;
    segment->view = nullptr;
}

void sharedMemoryClose(SharedMemorySegment* segment) {
    shmCloseHandle(segment->handle);
    segment->handle = -1;
}

void releaseSegment(SharedMemorySegment* segment) {
    sharedMemoryDetach(segment);
    sharedMemoryClose(segment);
    std::free(segment->name);
    segment->name = nullptr;
}

IpcChannel* allocateChannel() {
    void* memory = std::malloc(sizeof(IpcChannel));
    return memory == nullptr ? nullptr : new (memory) IpcChannel{};
}

void freeChannel(IpcChannel* channel) {
    channel->~IpcChannel();
    std::free(channel);
}

bool refreshCapacity(SharedMemorySegment* segment) {
    size_t committed = 0;
    if (!shmCommittedSize(segment->handle, &committed)) return false;
    segment->capacity = std::max<uint64_t>(segment->capacity, committed);
    return true;
}

void breakChannel(IpcChannel* channel, const char* why) {
    if (!channel->broken.exchange(true)) logMessage("Warning! Shared-memory channel broken: %s.\n", why);
}

// The message in the data segment, after a data notice. A length the segment
// cannot hold is not read: the notice is acknowledged and dropped.
IpcResult takeMessage(IpcChannel* channel, const uint8_t** message, uint32_t* length) {
    const uint8_t* view = static_cast<const uint8_t*>(channel->data.view);
    // Segments are sealed against shrinking, so the committed size only grows;
    // the current size is checked as well for segments opened by name.
    size_t currentSize = 0;
    if (!shmCommittedSize(channel->data.handle, &currentSize)) currentSize = 0;
    const uint64_t usable = std::min<uint64_t>(channel->data.capacity, currentSize);
    uint32_t announced = 0;
    if (usable >= 4) std::memcpy(&announced, view, sizeof announced);
    if (usable < 4 || announced > usable - 4) {
        logMessage("Warning! Message length %u does not fit the shared memory (capacity %zu). Dropping it.\n",
                   announced, static_cast<size_t>(channel->data.capacity));
        ipcChannelAcknowledge(channel);
        return kIpcInvalid;
    }
    *message = view + 4;
    *length = announced;
    return kIpcOk;
}

}  // namespace

int formatSystemMessage(int code, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    const char* text = ::strerror_r(code, buffer, size);  // GNU form: may return a static text
    if (text != buffer) std::snprintf(buffer, size, "%s", text);
    return static_cast<int>(std::strlen(buffer));
}

char* pointerToString(const void* pointer) { return allocPrintf(32, "%p", pointer); }

char* allocPrintf(size_t firstGuess, const char* format, ...) {
    size_t size = firstGuess == 0 ? 1 : firstGuess;
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) return nullptr;
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(text, size, format, args);
    va_end(args);
    if (needed < 0) {
        std::free(text);
        return nullptr;
    }
    if (static_cast<size_t>(needed) < size) return text;
    std::free(text);
    size = static_cast<size_t>(needed) + 1;
    text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) return nullptr;
    va_start(args, format);
    std::vsnprintf(text, size, format, args);
    va_end(args);
    return text;
}

bool sharedMemorySetName(SharedMemorySegment* segment, const char* name) {
    if (name == nullptr || std::strlen(name) >= kSharedMemoryNameBytes) return false;
    if (segment->name == nullptr) segment->name = static_cast<char*>(std::malloc(kSharedMemoryNameBytes));
    if (segment->name == nullptr) return false;
    std::snprintf(segment->name, kSharedMemoryNameBytes, "%s", name);
    return true;
}

bool sharedMemoryCreate(SharedMemorySegment* segment, size_t size) {
    // The label only tells the segments apart in /proc; the name the other
    // side opens is the descriptor's path.
    char label[kSharedMemoryNameBytes];
    std::snprintf(label, sizeof label, "Global_RandomSHM_%08X", drawNameNumber());
    const int handle = shmCreateSealed(label);
    if (handle < 0) {
        const SystemText error(errno);
        logMessage("Warning: Could not create SHM \"%s\" (requested size %zu): %.*s\n", label, size, error.length,
                   error.text);
        return false;
    }
    if (!sharedMemorySetName(segment, sharedMemoryPathOf(handle).c_str())) {
        shmCloseHandle(handle);
        return false;
    }
    segment->handle = handle;
    logInfo("Created SHM \"%s\" as %s, handle %p, reserved size %d\n", label, segment->name, handleAsPointer(handle),
            static_cast<int>(kSharedMemoryReserveBytes));
    if (!sharedMemoryResize(segment, size, 0)) return false;
    segment->capacity = size;
    return true;
}

bool sharedMemoryOpen(SharedMemorySegment* segment) {
    const int handle = segment->name == nullptr ? -1 : shmOpenExisting(segment->name);
    if (handle < 0) {
        const SystemText error(segment->name == nullptr ? EINVAL : errno);
        logMessage("Warning: Could not get SHM ID: %.*s\n", error.length, error.text);
        return false;
    }
    segment->handle = handle;
    return true;
}

bool sharedMemoryAttach(SharedMemorySegment* segment) {
    void* view = shmMapReserve(segment->handle);
    if (view == nullptr) {
        const SystemText error(errno);
        logMessage("Warning: Could not attach shared memory (handle %p, was already attached: %d, capacity %zu): %.*s\n",
                   handleAsPointer(segment->handle), segment->attached ? 1 : 0,
                   static_cast<size_t>(segment->capacity), error.length, error.text);
        return false;
    }
    size_t committed = 0;
    if (!shmCommittedSize(segment->handle, &committed)) {
        const SystemText error(errno);
        logMessage("Warning: Could not query shared memory size (handle %p): %.*s\n", handleAsPointer(segment->handle),
                   error.length, error.text);
        shmUnmapReserve(view);
        return false;
    }
    sharedMemoryDetach(segment);  // a view this replaces
    segment->view = view;
    segment->attached = true;
    segment->capacity = committed;
    logInfo("Attached shared memory (handle %p, capacity %zu) at %p\n", handleAsPointer(segment->handle), committed,
            view);
    return true;
}

bool sharedMemoryResize(SharedMemorySegment* segment, size_t newSize, size_t bytesToKeep) {
    // The object keeps its bytes when it grows, so nothing needs copying
    // aside, and a view spans the whole reserve, so it stays: the pages it
    // has already mapped are not faulted in again.
    (void)bytesToKeep;
    if (!shmCommit(segment->handle, newSize)) {
        const SystemText error(errno);
        logMessage("Error: Could not realloc shared memory (handle %p, view %p, new_size %zu): %.*s\n",
                   handleAsPointer(segment->handle), segment->view, newSize, error.length, error.text);
        return false;
    }
    logInfo("Committed %zu bytes at %p (handle %p)\n", newSize, segment->view, handleAsPointer(segment->handle));
    segment->capacity = newSize;
    refreshCapacity(segment);  // whole pages
    return true;
}

IpcChannel* ipcChannelCreate(uint64_t payloadSize) {
    IpcChannel* channel = allocateChannel();
    if (channel == nullptr) return nullptr;
    channel->role = 1;
    channel->ready = false;
    bool ok = sharedMemoryCreate(&channel->control, kControlSegmentBytes) && sharedMemoryAttach(&channel->control) &&
              channel->control.capacity >= kEvent1Offset + sizeof(uint32_t);
    if (ok) {
        channel->event0 = kEvent0Offset;
        channel->event1 = kEvent1Offset;
        channel->slot0 = static_cast<uint8_t*>(channel->control.view);
        channel->slot1 = channel->slot0 + 1;
        storeByte(channel->slot0, 0);
        storeByte(channel->slot1, 0);
    }
    ok = ok && payloadSize <= kSharedMemoryReserveBytes - 4 &&
         sharedMemoryCreate(&channel->data, static_cast<size_t>(payloadSize) + 4) && sharedMemoryAttach(&channel->data);
    if (!ok) {
        ipcChannelDestroy(channel);
        return nullptr;
    }
    return channel;
}

char* ipcChannelSerializeDescriptor(const IpcChannel* channel) {
    if (channel == nullptr || channel->control.name == nullptr || channel->data.name == nullptr) return nullptr;
    char* event0 = pointerToString(reinterpret_cast<const void*>(channel->event0));
    char* event1 = pointerToString(reinterpret_cast<const void*>(channel->event1));
    char* text = nullptr;
    if (event0 != nullptr && event1 != nullptr) {
        text = allocPrintf(128, "%s|%s|%s|%s", event0, event1, channel->control.name, channel->data.name);
    }
    std::free(event0);
    std::free(event1);
    return text;
}

IpcResult ipcChannelSend(IpcChannel* channel, const void* bytes, uint32_t length) {
    const std::span<const uint8_t> whole(static_cast<const uint8_t*>(bytes), length);
    return ipcChannelSendPieces(channel, {&whole, 1});
}

IpcResult ipcChannelSendPieces(IpcChannel* channel, std::span<const std::span<const uint8_t>> pieces,
                               int64_t ackTimeoutMs) {
    if (channel == nullptr) return kIpcInvalid;
    ackTimeoutMs = std::clamp<int64_t>(ackTimeoutMs, 0, kIpcAckTimeoutMs);
    uint64_t total = 0;
    for (const auto& piece : pieces) total += piece.size();
    if (total > UINT32_MAX) return kIpcInvalid;
    const uint32_t length = static_cast<uint32_t>(total);
    if (!channel->ready) return kIpcNotReady;
    if (!hasIncoming(channel) || !channel->data.attached || channel->broken.load()) return kIpcInvalid;
    if (channel->sendCancelled.load()) return kIpcTimeout;
    // The other side may still be reading the last message: until its late
    // acknowledgement comes, the data segment is not touched and the send
    // fails at once (a peer that stopped reading costs no more waits).
    if (channel->ackPending) {
        if (!waitIncoming(channel, 0, false)) return kIpcTimeout;
        channel->ackPending = false;
        logMessage("Warning! Discarded stale signal %d left over from an abandoned exchange.\n",
                   static_cast<int>(static_cast<int8_t>(loadByte(incomingSlot(channel)))));
    }
    int stale = 0;
    int lastStale = 0;
    while (stale < kMaxStaleSignals && waitIncoming(channel, 0, false)) {
        ++stale;
        lastStale = static_cast<int8_t>(loadByte(incomingSlot(channel)));
    }
    if (stale == 1) {
        logMessage("Warning! Discarded stale signal %d left over from an abandoned exchange.\n", lastStale);
    } else if (stale > 1) {
        logMessage("Warning! Discarded %d stale signals (the last %d) left over from abandoned exchanges.\n", stale,
                   lastStale);
    }
    logInfo("Sending message with size: %u\n", length);
    const uint64_t needed = uint64_t{length} + 4;
    if (channel->data.capacity < needed) {
        logInfo("Reallocating buffer from %zu to %zu\n", static_cast<size_t>(channel->data.capacity),
                static_cast<size_t>(needed));
        if (!sharedMemoryResize(&channel->data, static_cast<size_t>(needed), 0)) return kIpcInvalid;
        if (!channel->data.attached && !sharedMemoryAttach(&channel->data)) {
            logMessage("Warning! Could not attach to reallocated data SHM!\n");
            return kIpcInvalid;
        }
        const IpcResult signalled = signalByte(channel, kIpcSignalReallocated);
        if (signalled != kIpcOk) {
            logMessage("Warning! Could not send reallocation signal to external process!\n");
            return signalled == kIpcSetFailed ? kIpcSetFailed : kIpcInvalid;
        }
        logInfo("Sent realloc signal, waiting for ack\n");
        if (!waitSendAck(channel, ackTimeoutMs)) {
            channel->ackPending = true;
            logInfo("Got response: %d %d\n", static_cast<int>(kIpcTimeout), -1);
            logMessage("Warning! Could not receive reallocation signal from external process!\n");
            return kIpcTimeout;
        }
        const uint8_t reply = loadByte(incomingSlot(channel));
        logInfo("Got response: %d %d\n", 0, static_cast<int>(reply));
        if (reply != kIpcSignalAcknowledge) {
            logMessage("Warning! External process did not acknowledge reallocation!\n");
            return kIpcNotAcknowledged;
        }
    }
    uint8_t* view = static_cast<uint8_t*>(channel->data.view);
    std::memcpy(view, &length, sizeof length);
    uint8_t* at = view + 4;
    for (const auto& piece : pieces) {
        if (!piece.empty()) std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    signalByte(channel, kIpcSignalData);
    if (!waitSendAck(channel, ackTimeoutMs)) {
        channel->ackPending = true;
        logMessage("Warning! Could not receive data-notice acknowledgement from external process!\n");
        return kIpcTimeout;
    }
    if (loadByte(incomingSlot(channel)) != kIpcSignalAcknowledge) {
        logMessage("Warning! External process did not acknowledge data notice!\n");
        return kIpcNotAcknowledged;
    }
    return kIpcOk;
}

IpcResult ipcChannelReceive(IpcChannel* channel, const uint8_t** message, uint32_t* length, int64_t timeoutMs) {
    if (!hasIncoming(channel) || !channel->data.attached || channel->broken.load()) return kIpcInvalid;
    if (!waitIncoming(channel, timeoutMs, true)) return kIpcTimeout;
    uint8_t byte = loadByte(incomingSlot(channel));
    while (byte == kIpcSignalReady) {
        if (!waitIncoming(channel, timeoutMs, true)) return kIpcTimeout;
        byte = loadByte(incomingSlot(channel));
    }
    if (byte == kIpcSignalData) return takeMessage(channel, message, length);
    if (byte != kIpcSignalReallocated) return kIpcUnexpected;
    // The view spans the whole reserve: only the committed size is new.
    if (!refreshCapacity(&channel->data)) {
        breakChannel(channel, "the grown data segment cannot be measured");
        return kIpcInvalid;
    }
    ipcChannelAcknowledge(channel);
    if (!waitIncoming(channel, timeoutMs, true)) return kIpcTimeout;
    if (loadByte(incomingSlot(channel)) != kIpcSignalData) return kIpcUnexpected;
    return takeMessage(channel, message, length);
}

IpcResult ipcChannelWaitReady(IpcChannel* channel, int64_t timeoutMs) {
    if (!hasIncoming(channel)) return kIpcInvalid;
    if (!waitIncoming(channel, timeoutMs, false)) return kIpcTimeout;
    if (loadByte(incomingSlot(channel)) != kIpcSignalReady) return kIpcUnexpected;
    channel->ready = true;
    return kIpcOk;
}

IpcResult ipcChannelAcknowledge(IpcChannel* channel) { return signalByte(channel, kIpcSignalAcknowledge); }
IpcResult ipcChannelSignalExit(IpcChannel* channel) { return signalByte(channel, kIpcSignalExit); }
IpcResult ipcChannelSignalReady(IpcChannel* channel) { return signalByte(channel, kIpcSignalReady); }

void ipcChannelCancelReceive(IpcChannel* channel) {
    if (channel == nullptr) return;
    channel->cancelled.store(true, std::memory_order_release);
    if (channel->control.attached) futexEventWakeLocal(incomingEvent(channel));
}

void ipcChannelCancelSends(IpcChannel* channel) {
    if (channel == nullptr) return;
    channel->sendCancelled.store(true, std::memory_order_release);
    if (channel->control.attached) futexEventWakeLocal(incomingEvent(channel));
}

void ipcChannelDestroy(IpcChannel* channel) {
    if (channel == nullptr) return;
    releaseSegment(&channel->control);
    releaseSegment(&channel->data);
    freeChannel(channel);
}

bool parseIpcChannelDescriptor(const char* descriptor, IpcDescriptorFields* fields) {
    if (descriptor == nullptr) return false;
    const std::string text(descriptor);
    size_t bars[3];
    size_t from = 0;
    for (size_t& bar : bars) {
        bar = text.find('|', from);
        if (bar == std::string::npos) return false;
        from = bar + 1;
    }
    auto hex = [&](size_t begin, size_t end, uintptr_t* value) {
        if (begin == end) return false;
        const std::string field = text.substr(begin, end - begin);
        char* stop = nullptr;
        errno = 0;
        const unsigned long long parsed = std::strtoull(field.c_str(), &stop, 16);
        if (errno != 0 || stop != field.c_str() + field.size() || field[0] == '-') return false;
        *value = static_cast<uintptr_t>(parsed);
        return true;
    };
    if (!hex(0, bars[0], &fields->event0) || !hex(bars[0] + 1, bars[1], &fields->event1)) return false;
    fields->controlName = text.substr(bars[1] + 1, bars[2] - bars[1] - 1);
    fields->dataName = text.substr(bars[2] + 1);
    return fields->controlName.size() < kSharedMemoryNameBytes && fields->dataName.size() < kSharedMemoryNameBytes;
}

IpcChannel* ipcChannelOpen(const char* descriptor) {
    if (descriptor == nullptr) return nullptr;
    IpcDescriptorFields fields;
    if (!parseIpcChannelDescriptor(descriptor, &fields)) return nullptr;
    IpcChannel* channel = allocateChannel();
    if (channel == nullptr) return nullptr;
    channel->role = 0;
    channel->ready = true;
    channel->event0 = fields.event0;
    channel->event1 = fields.event1;
    bool ok = sharedMemorySetName(&channel->control, fields.controlName.c_str()) &&
              sharedMemoryOpen(&channel->control) && sharedMemoryAttach(&channel->control) &&
              sharedMemorySetName(&channel->data, fields.dataName.c_str()) && sharedMemoryOpen(&channel->data) &&
              sharedMemoryAttach(&channel->data);
    // The event words must lie inside the control segment, apart from each
    // other and from the two slot bytes.
    auto validWord = [&](uintptr_t offset) {
        return offset % 4 == 0 && offset >= 4 && offset <= channel->control.capacity - sizeof(uint32_t);
    };
    ok = ok && channel->control.capacity >= 16 && validWord(fields.event0) && validWord(fields.event1) &&
         fields.event0 != fields.event1;
    if (!ok) {
        ipcChannelDestroy(channel);
        return nullptr;
    }
    channel->slot0 = static_cast<uint8_t*>(channel->control.view);
    channel->slot1 = channel->slot0 + 1;
    return channel;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
