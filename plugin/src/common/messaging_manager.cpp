#include "common/messaging_manager.h"

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

void MessagingManager::addMessage(const std::string& id, const std::string& text, MessageType type) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_messages.find(id);
    const bool textChanged = it == m_messages.end() || it->second.text != text;
    m_messages[id] = Message{type, text};
    if (textChanged) {
        logMessage("Notice: [%s] %s: %s\n", type == MessageType::Warning ? "Warning" : "Info",
                   id.c_str(), text.c_str());
    }
}

void MessagingManager::removeMessage(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.erase(id);
}

void MessagingManager::clearWarnings() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_messages, [](const auto& entry) { return entry.second.type == MessageType::Warning; });
}

std::map<std::string, MessagingManager::Message> MessagingManager::messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
