// The local cache of downloaded models under the data directory: the folders
// "cache" (what each cached copy is), "model_files" (the encrypted models) and
// "keys" (their AES-256 keys). Layout in docs/formats.md.
//
// ensureModel brings one model to Ready (reusing a matching cached copy, or
// downloading it with HTTP GET following redirects, taking the key from the
// "X-Key" header and checking that it decrypts the file) or to Failed with an
// error text in the model's list. Progress and state are written into the
// model's atomics as it goes, so host threads can show them.
//
// Thread-safe; ensureModel blocks its caller (the runtime-manager loop) and
// returns promptly once stop() was called.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "common/messaging_manager.h"
#include "records/model_details.h"

namespace qz::vms_server_plugins::analytics::qzai {

class ModelCache {
public:
    ModelCache(std::string dataDirectory, MessagingManager& messagingManager);

    // Fills the model's file paths and makes it Ready or Failed. `prepare`
    // runs on a model about to become Ready, before the state is published,
    // so whoever sees Ready also sees what it set.
    ModelDownloadState ensureModel(ModelDetails_t& model,
                                   const std::function<void(ModelDetails_t&)>& prepare = {});

    // Deletes every cached file; later ensureModel calls download again.
    void clear();

    // Cancels a running download and every later one.
    void stop() { m_stopped = true; }
    bool stopped() const { return m_stopped.load(); }

    const std::string& cacheFolder() const { return m_cacheFolder; }
    const std::string& modelFolder() const { return m_modelFolder; }
    const std::string& keyFolder() const { return m_keyFolder; }

    // Folder of a model's companion files ("raw_postprocessing.json").
    std::string modelCompanionFolder(const std::string& modelId) const;

private:
    bool cachedCopyMatches(const ModelDetails_t& model) const;
    bool download(ModelDetails_t& model, std::string& error);
    void fail(ModelDetails_t& model, const std::string& error);

    std::string m_cacheFolder;
    std::string m_modelFolder;
    std::string m_keyFolder;
    MessagingManager& m_messagingManager;
    std::atomic<bool> m_stopped{false};
};

// A model id made safe for a file name: letters, digits and "-_.{}" stay,
// any other byte is written "%XX" (and so are the dots of "." and ".."), so
// different ids never share their files.
std::string modelFileStem(const std::string& modelId);

}  // namespace qz::vms_server_plugins::analytics::qzai
