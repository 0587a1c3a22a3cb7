// The engine's store of user notices: upper-case notice id -> message.
//
// Thread-safe: one mutex is held for each operation, and it is always taken
// before the log's mutex. Every component that reports to the user receives
// the engine's instance by reference.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

class MessagingManager {
public:
    enum class MessageType : int { Info = 0, Warning = 1 };

    struct Message {
        MessageType type = MessageType::Info;
        std::string text;
    };

    // Inserts the notice or replaces the type and text of the notice with that
    // id; logs the change unless the text is unchanged.
    void addMessage(const std::string& id, const std::string& text, MessageType type);
    // Removes the notice; nothing happens for an absent id.
    void removeMessage(const std::string& id);
    // Removes every Warning notice and keeps the Info notices.
    void clearWarnings();
    // A copy of all notices, in ascending id order.
    std::map<std::string, Message> messages() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, Message> m_messages;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
