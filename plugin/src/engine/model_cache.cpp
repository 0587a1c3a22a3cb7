#include "engine/model_cache.h"

#include <filesystem>
#include <optional>

#include <nlohmann/json.hpp>

#include "common/file_utils.h"
#include "common/ini.h"
#include "common/log.h"
#include "common/text_utils.h"
#include "engine/json_fields.h"
#include "common/http_client.h"
#include "common/qzai_crypto.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kDownloadNoticeId = "MODEL_DOWNLOAD_FAILED";
constexpr const char* kMetadataSuffix = ".model.json";

bool writeFileAtomically(const std::string& path, const void* data, size_t size) {
    const std::string temporary = path + ".tmp";
    OwnerOnlyFile out(temporary);
    if (out.write(data, size) && out.moveTo(path)) return true;
    std::error_code ec;
    fs::remove(temporary, ec);
    return false;
}

std::string metadataOf(const ModelDetails_t& model) {
    return json{{"LastModified", model.lastModified}, {"DownloadURL", model.downloadUrl}}.dump();
}

}  // namespace

std::string modelFileStem(const std::string& modelId) {
    // Bytes outside the safe set become "%XX"; '%' itself is outside it, so
    // no two ids share a stem, and an id of safe bytes is its own stem.
    static constexpr char kHex[] = "0123456789ABCDEF";
    const bool dotsOnly = modelId == "." || modelId == "..";
    std::string stem;
    for (char c : modelId) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || (c == '.' && !dotsOnly) || c == '{' || c == '}';
        if (safe) {
            stem.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            stem += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
        }
    }
    return stem.empty() ? "%" : stem;
}

ModelCache::ModelCache(std::string dataDirectory, MessagingManager& messagingManager)
    : m_cacheFolder(dataDirectory + "/cache"),
      m_modelFolder(dataDirectory + "/model_files"),
      m_keyFolder(dataDirectory + "/keys"),
      m_messagingManager(messagingManager) {
    // Keys, models and the addresses they came from are the owner's alone.
    makeOwnerOnlyFolder(m_cacheFolder);
    makeOwnerOnlyFolder(m_modelFolder);
    makeOwnerOnlyFolder(m_keyFolder);
}

std::string ModelCache::modelCompanionFolder(const std::string& modelId) const {
    return m_modelFolder + "/" + modelFileStem(modelId);
}

bool ModelCache::cachedCopyMatches(const ModelDetails_t& model) const {
    if (!fileExists(model.modelFilePath) || !fileExists(model.keyFilePath)) return false;
    const auto stored = readTextFile(m_cacheFolder + "/" + modelFileStem(model.id) + kMetadataSuffix);
    return stored && *stored == metadataOf(model);
}

void ModelCache::fail(ModelDetails_t& model, const std::string& error) {
    model.addError(error);
    model.downloadState = ModelDownloadState::Failed;
    logMessage("Error! Model %s (%s): %s\n", model.name.c_str(), model.id.c_str(), error.c_str());
    m_messagingManager.addMessage(kDownloadNoticeId,
                                  "A model could not be downloaded. Use 'Retry Model Downloads' to try again.",
                                  MessagingManager::MessageType::Warning);
}

ModelDownloadState ModelCache::ensureModel(ModelDetails_t& model,
                                           const std::function<void(ModelDetails_t&)>& prepare) {
    const std::string stem = modelFileStem(model.id);
    model.modelFilePath = m_modelFolder + "/" + stem + ".bin";
    model.keyFilePath = m_keyFolder + "/" + stem + ".key";
    model.decryptedPath = m_modelFolder + "/" + stem + ".decrypted";

    if (cachedCopyMatches(model)) {
        model.downloadProgress = 100;
        if (prepare) prepare(model);
        model.downloadState = ModelDownloadState::Ready;
        logInfo("Model %s is in the cache.\n", model.id.c_str());
        return ModelDownloadState::Ready;
    }
    if (model.downloadUrl.empty()) {
        fail(model, "The model has no download address.");
        return ModelDownloadState::Failed;
    }
    {
        std::lock_guard<std::mutex> lock(model.errorsMutex);
        model.errors.clear();
    }
    model.downloadProgress = 0;
    model.downloadState = ModelDownloadState::Downloading;
    std::string error;
    if (!download(model, error)) {
        if (m_stopped) {
            model.downloadState = ModelDownloadState::NotExamined;  // not the model's fault
            return ModelDownloadState::NotExamined;
        }
        fail(model, error);
        return ModelDownloadState::Failed;
    }
    model.downloadProgress = 100;
    if (prepare) prepare(model);
    model.downloadState = ModelDownloadState::Ready;
    logMessage("Model %s downloaded to %s\n", model.id.c_str(), model.modelFilePath.c_str());
    return ModelDownloadState::Ready;
}

bool ModelCache::download(ModelDetails_t& model, std::string& error) {
    const std::string partPath = model.modelFilePath + ".part";
    std::optional<OwnerOnlyFile> out;
    HttpRequest request;
    request.url = model.downloadUrl;
    request.connectTimeout = request.idleTimeout = std::chrono::milliseconds(ini().HTTPRequestTimeout);
    request.totalTimeout = std::chrono::seconds(ini().HTTPRequestTotalTimeout);
    uint64_t received = 0, expected = model.downloadSize;
    HttpCallbacks callbacks;
    callbacks.onResponse = [&](const HttpResponse& response) {
        if (response.status != 200) return false;
        if (const auto length = response.contentLength()) expected = *length;
        out.emplace(partPath);
        return out->isOpen();
    };
    bool overlong = false;
    callbacks.onData = [&](const char* data, size_t size) {
        // The announced size (Content-Length, else the model's "Size") caps
        // what is written, so a server cannot fill the disk.
        if (expected > 0 && received + size > expected) {
            overlong = true;
            return false;
        }
        const bool wrote = out->write(data, size);
        received += size;
        if (expected > 0) model.downloadProgress = std::min<uint64_t>(99, received * 100 / expected);
        return wrote && !m_stopped;
    };
    callbacks.onTick = [this] { return !m_stopped.load(); };
    const std::string shownUrl = addressWithoutQuery(model.downloadUrl);  // a signed address's token stays out
    logMessage("Downloading model %s from %s\n", model.id.c_str(), shownUrl.c_str());
    const HttpResponse response = HttpClient().send(request, callbacks);
    const bool written = out && out->close();

    auto discard = [&](std::string why) {
        std::error_code ec;
        fs::remove(partPath, ec);
        error = std::move(why);
        return false;
    };
    if (m_stopped) return discard("The download was stopped.");
    if (overlong) {
        return discard("The download is longer than its announced " + std::to_string(expected) + " bytes.");
    }
    if (response.status != 200) {
        return discard(response.status == 0 ? "No answer from " + shownUrl + ": " + response.error
                                            : "Download failed with status " + std::to_string(response.status) +
                                                  ".");
    }
    if (!written) return discard("Could not write " + partPath + ".");
    if (!response.complete) return discard("The download was interrupted before completing.");

    const auto keyText = response.header("X-Key");
    if (!keyText) return discard("The download carried no model key.");
    const auto key = base64Decode(*keyText);
    if (!key || key->size() != 32) return discard("The model key is malformed.");
    if (const auto lastModified = response.header("Last-Modified")) {
        logInfo("Model %s last modified %s\n", model.id.c_str(), lastModified->c_str());
    }

    // The key must open the file; checked now so a bad download fails here
    // rather than when the inference engine loads it.
    const std::string probe = model.decryptedPath + ".check";
    const bool opens = decryptFileAes256Gcm(key->data(), partPath, probe);
    std::error_code ec;
    fs::remove(probe, ec);
    if (!opens) return discard("The model key does not decrypt the downloaded model.");

    if (!writeFileAtomically(model.keyFilePath, key->data(), key->size())) {
        return discard("Could not write the model key " + model.keyFilePath + ".");
    }
    fs::rename(partPath, model.modelFilePath, ec);
    if (ec) return discard("Could not store the model: " + ec.message());
    const std::string metadata = metadataOf(model);
    writeFileAtomically(m_cacheFolder + "/" + modelFileStem(model.id) + kMetadataSuffix, metadata.data(), metadata.size());
    return true;
}

void ModelCache::clear() {
    // "cache" also holds files of other components: only the model records go.
    for (const auto& folder : {m_cacheFolder, m_modelFolder, m_keyFolder}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const std::string name = entry.path().filename().string();
            const bool modelRecord = name.size() > std::string(kMetadataSuffix).size() &&
                                     name.compare(name.size() - std::string(kMetadataSuffix).size(),
                                                  std::string::npos, kMetadataSuffix) == 0;
            if (folder == m_cacheFolder && !modelRecord) continue;
            std::error_code removeError;
            fs::remove_all(entry.path(), removeError);
            if (removeError) {
                logMessage("Warning! Could not delete %s: %s\n", entry.path().c_str(), removeError.message().c_str());
            }
        }
    }
    logMessage("Cleared the model cache.\n");
}

}  // namespace qz::vms_server_plugins::analytics::qzai
