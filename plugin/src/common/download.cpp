#include "common/download.h"

#include <chrono>
#include <cstdio>
#include <memory>

#include "common/file_utils.h"
#include "common/ini.h"
#include "common/log.h"
#include "common/text_utils.h"
#include "common/http_client.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr auto kByteNoticeInterval = std::chrono::milliseconds(200);
constexpr const char* kRefreshHint = "\nPress 'Refresh' to see updated progress.";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Keeps the progress notice current without rewriting it for every block:
// a percentage is rewritten when it changes, a byte count at most every
// kByteNoticeInterval.
class ProgressNotice {
public:
    ProgressNotice(MessagingManager& messages, const std::string& id, const std::string& text)
        : m_messages(messages), m_id(id), m_text(text) {}
    ~ProgressNotice() { m_messages.removeMessage(m_id); }

    void start(std::optional<uint64_t> total) {
        m_total = total;
        m_started = true;
        update(0, true);
    }

    void update(uint64_t received, bool force = false) {
        if (!m_started) return;
        std::string text;
        if (m_total) {
            const uint64_t percent = *m_total == 0 ? 100 : std::min<uint64_t>(received * 100 / *m_total, 100);
            text = m_text + " (" + std::to_string(percent) + "%)" + kRefreshHint;
        } else {
            const auto now = std::chrono::steady_clock::now();
            if (!force && now - m_lastUpdate < kByteNoticeInterval) return;
            m_lastUpdate = now;
            text = m_text + " (" + std::to_string(received) + " bytes)" + kRefreshHint;
        }
        if (text == m_current) return;
        m_current = text;
        m_messages.addMessage(m_id, text, MessagingManager::MessageType::Info);
    }

private:
    MessagingManager& m_messages;
    const std::string& m_id;
    const std::string& m_text;
    std::optional<uint64_t> m_total;
    bool m_started = false;
    std::string m_current;
    std::chrono::steady_clock::time_point m_lastUpdate;
};

}  // namespace

bool downloadFile(const std::string& url, const std::string& filePath, MessagingManager& messagingManager,
                  const std::string& noticeId, const std::string& progressText,
                  const std::atomic<bool>* cancelFlag, std::string* md5Out,
                  const std::function<void(const char* data, size_t size)>& onWritten) {
    if (md5Out) md5Out->clear();
    ProgressNotice notice(messagingManager, noticeId, progressText);
    std::unique_ptr<std::FILE, FileCloser> file;
    uint64_t received = 0;
    bool opened = false;
    bool openFailed = false;
    bool writeFailed = false;
    bool cancelled = false;
    bool overlong = false;
    std::optional<uint64_t> announced;
    const auto cancelRequested = [&] {
        cancelled = cancelled || (cancelFlag && cancelFlag->load());
        return cancelled;
    };

    HttpCallbacks callbacks;
    callbacks.onResponse = [&](const HttpResponse& response) {
        if (response.status != 200) return false;
        if (md5Out) *md5Out = response.header("X-Checksum-Md5").value_or("");
        file.reset(std::fopen(filePath.c_str(), "wb"));
        if (!file) {
            openFailed = true;
            return false;
        }
        opened = true;
        announced = response.contentLength();
        notice.start(announced);
        return true;
    };
    callbacks.onData = [&](const char* data, size_t size) {
        if (announced && received + size > *announced) {
            overlong = true;  // never more than the server said it would send
            return false;
        }
        if (std::fwrite(data, 1, size, file.get()) != size) {
            writeFailed = true;
            return false;
        }
        if (onWritten) onWritten(data, size);
        received += size;
        if (cancelRequested()) return false;
        notice.update(received);
        return true;
    };
    callbacks.onTick = [&] {
        if (cancelRequested()) return false;
        notice.update(received);
        return true;
    };

    HttpRequest request;
    request.url = url;
    const auto timeout = std::chrono::milliseconds(std::max(ini().HTTPRequestTimeout, 1));
    request.connectTimeout = timeout;
    request.idleTimeout = timeout;
    request.totalTimeout = std::chrono::seconds(ini().HTTPRequestTotalTimeout);
    const HttpResponse response = HttpClient().send(request, callbacks);

    bool ok = false;
    const std::string shownUrl = addressWithoutQuery(url);  // a signed address's token stays out of the log
    if (cancelled) {
        logMessage("Download of %s was cancelled by the user.\n", shownUrl.c_str());
    } else if (openFailed) {
        logMessage("Error opening file for writing: %s\n", filePath.c_str());
    } else if (response.status == 0) {
        logMessage("Failed to download file at: %s\n", shownUrl.c_str());
        logInfo("Info: %s\n", response.error.c_str());
    } else if (response.status != 200) {
        logMessage("Error! Could not request file data! Status code: %d\n", response.status);
    } else {
        const bool closed = file && std::fclose(file.release()) == 0;
        ok = response.complete && !writeFailed && closed;
        if (overlong) {
            logMessage("Error! Download of %s is longer than its announced %llu bytes; discarded.\n", shownUrl.c_str(),
                       static_cast<unsigned long long>(*announced));
        } else if (!ok) {
            logMessage("Download of %s was interrupted before completing.\n", shownUrl.c_str());
            if (!response.error.empty()) logInfo("Info: %s\n", response.error.c_str());
        }
    }
    if (!ok && opened) {
        file.reset();
        deleteFile(filePath);
    }
    return ok;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
