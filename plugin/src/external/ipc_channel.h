// The shared-memory channel between this process and one external process.
//
// A channel is two named shared-memory segments and two auto-reset events:
// - the control segment (one page): byte 0 is slot 0, written by the creating
//   side; byte 1 is slot 1, written by the opening side; the 32-bit words at
//   offsets 8 and 12 are event 0 (set by the creating side) and event 1 (set
//   by the opening side);
// - the data segment: the message length (u32, little-endian) at offset 0 and
//   the message from offset 4. Its capacity is the committed size in whole
//   pages (a channel made for 1024 bytes carries up to 4092 without growing);
//   it grows up to kSharedMemoryReserveBytes under the same name.
// The creating side makes both segments as memory files sealed against
// shrinking (platform/shared_memory.h) and names them "/proc/self/fd/<n>":
// the child inherits the four descriptors under the same numbers. So the
// other side can never take pages from under this side's mappings.
// To signal, a side writes a byte (IpcSignal) into its own slot and sets its
// own event; to take a signal it waits on the other event and reads the other
// slot. The creating side (role 1) writes slot 0 and waits on event 1; an
// opened channel (role 0) does the reverse. The child finds a channel through
// its descriptor text "<event 0>|<event 1>|<control name>|<data name>", where
// the events are the offsets of their words printed with "%p". A channel
// whose grown data segment cannot be measured is broken: from then on its
// sends and receives fail at once (logged once).
//
// Ownership: channels are malloc'd by ipcChannelCreate/ipcChannelOpen and
// released by ipcChannelDestroy. Texts returned here are malloc'd for the caller, who frees them.
// Thread-safety: none inside a channel; one thread sends at a time and one
// thread receives at a time (ipcChannelCancelReceive and ipcChannelCancelSends
// may be called from any thread). Every problem is logged; results are IpcResult codes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr size_t kSharedMemoryNameBytes = 260;
inline constexpr int kIpcAckTimeoutMs = 1000;
// The largest message a data segment can carry.
inline constexpr uint32_t kIpcMaxMessageBytes = 209'715'196;

struct SharedMemorySegment {
    int handle = -1;        // descriptor of the shared-memory object
    char* name = nullptr;   // heap buffer of kSharedMemoryNameBytes
    bool attached = false;  // a view is mapped
    void* view = nullptr;   // start of the view (the whole reserve)
    uint64_t capacity = 0;  // committed bytes usable from the view's start
};

enum IpcSignal : uint8_t {
    kIpcSignalAcknowledge = 0,
    kIpcSignalData = 1,
    kIpcSignalReallocated = 2,
    kIpcSignalReady = 4,
    kIpcSignalExit = 5,
};

enum IpcResult : int {
    kIpcOk = 0,
    kIpcTimeout = 1,
    kIpcInvalid = 2,
    kIpcSetFailed = 3,
    kIpcNotReady = 4,
    kIpcNotAcknowledged = 5,
    kIpcUnexpected = 6,
};

struct IpcChannel {
    uintptr_t event0 = 0;  // offset of event 0's word in the control segment
    uintptr_t event1 = 0;  // offset of event 1's word
    SharedMemorySegment control;
    SharedMemorySegment data;
    uint8_t* slot0 = nullptr;
    uint8_t* slot1 = nullptr;
    int role = 1;  // 1 creating side, 0 opening side
    bool ready = false;
    // A data notice or reallocation was sent and its acknowledgement has not
    // come yet: the other side may still be reading the data segment.
    bool ackPending = false;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> sendCancelled{false};
    std::atomic<bool> broken{false};
};

// Creating side.
IpcChannel* ipcChannelCreate(uint64_t payloadSize);
char* ipcChannelSerializeDescriptor(const IpcChannel* channel);
IpcResult ipcChannelSend(IpcChannel* channel, const void* bytes, uint32_t length);
// Sends the pieces as one message, copied one after the other straight into
// the data segment; kIpcInvalid when together they exceed UINT32_MAX bytes.
// Each acknowledgement is awaited at most `ackTimeoutMs` (capped at
// kIpcAckTimeoutMs). While an acknowledgement is overdue (the other side is
// not reading), sends fail with kIpcTimeout at once.
IpcResult ipcChannelSendPieces(IpcChannel* channel, std::span<const std::span<const uint8_t>> pieces,
                               int64_t ackTimeoutMs = kIpcAckTimeoutMs);
// The message stays valid until ipcChannelAcknowledge. Negative time-out: no limit.
IpcResult ipcChannelReceive(IpcChannel* channel, const uint8_t** message, uint32_t* length, int64_t timeoutMs);
IpcResult ipcChannelWaitReady(IpcChannel* channel, int64_t timeoutMs);
IpcResult ipcChannelAcknowledge(IpcChannel* channel);
IpcResult ipcChannelSignalExit(IpcChannel* channel);
void ipcChannelDestroy(IpcChannel* channel);

// Opening side.
IpcChannel* ipcChannelOpen(const char* descriptor);
IpcResult ipcChannelSignalReady(IpcChannel* channel);

// Makes a waiting receive (and every later one) return kIpcTimeout at once.
void ipcChannelCancelReceive(IpcChannel* channel);
// The same for sends: a waiting send and every later one give kIpcTimeout.
void ipcChannelCancelSends(IpcChannel* channel);

// The descriptor's fields; false when the text has fewer than three "|", an
// event field is not a hexadecimal number, or a name does not fit its buffer.
struct IpcDescriptorFields {
    uintptr_t event0 = 0;
    uintptr_t event1 = 0;
    std::string controlName;
    std::string dataName;
};
bool parseIpcChannelDescriptor(const char* descriptor, IpcDescriptorFields* fields);

// Segment operations.
bool sharedMemoryCreate(SharedMemorySegment* segment, size_t size);
bool sharedMemoryOpen(SharedMemorySegment* segment);
bool sharedMemoryAttach(SharedMemorySegment* segment);
bool sharedMemoryResize(SharedMemorySegment* segment, size_t newSize, size_t bytesToKeep);
bool sharedMemorySetName(SharedMemorySegment* segment, const char* name);

// Text operations.
// The system's text for an errno value (at most size - 1 bytes); its length.
int formatSystemMessage(int code, char* buffer, size_t size);
char* pointerToString(const void* pointer);
char* allocPrintf(size_t firstGuess, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace qz::vms_server_plugins::analytics::qzai
