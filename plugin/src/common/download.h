// HTTP download of one file with a progress notice.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "common/messaging_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

// GETs `url` (redirects followed) into `filePath`, created or replaced. The
// destination is opened only once a 200 response has arrived, and a failed or
// cancelled transfer leaves no file at `filePath`; any other status leaves an
// existing file untouched.
//
// While receiving, an Info notice `noticeId` reads
//   progressText + " (" + <percent> + "%)\nPress 'Refresh' to see updated progress."
// when the server sent "Content-Length" (whole percent, rounded down), or
//   progressText + " (" + <bytes> + " bytes)\nPress 'Refresh' to see updated progress."
// otherwise; it is removed when the call ends. `*md5Out` (may be null)
// receives the "X-Checksum-Md5" response header, empty when absent.
// `onWritten` (may be empty) sees each block once it is written, in order,
// on the calling thread; it may block, which holds the transfer back.
// `*cancelFlag` (may be null) is read after every received block and at
// least every 100 ms while the server sends nothing. Connect and idle
// time-outs are `HTTPRequestTimeout`. True only for a complete transfer.
// Thread-safe; blocks the caller.
bool downloadFile(const std::string& url, const std::string& filePath, MessagingManager& messagingManager,
                  const std::string& noticeId, const std::string& progressText,
                  const std::atomic<bool>* cancelFlag = nullptr, std::string* md5Out = nullptr,
                  const std::function<void(const char* data, size_t size)>& onWritten = {});

}  // namespace qz::vms_server_plugins::analytics::qzai
