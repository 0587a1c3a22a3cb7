#include "qz/sdk/helpers/lib_context.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "qz/sdk/helpers/log.h"

namespace qz::sdk {

namespace {

class LibContext final : public ILibContext {
public:
    ~LibContext() {
        if (IRefCountableRegistry* registry = m_registry.exchange(nullptr)) registry->releaseRef();
        for (IRefCountableRegistry* registry : m_retiredRegistries) registry->releaseRef();
    }

    const char* name() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_names.empty() ? "" : m_names.back().c_str();
    }

    bool setName(const char* name) override {
        if (!name) {
            sdkLog(logPrefix(), "ILibContext::setName: null name refused");
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_names.empty() || m_nameReplaceable) {
                m_names.emplace_back(name);
                m_nameReplaceable = false;
                return true;
            }
        }
        sdkLog(logPrefix(), "ILibContext::setName: the name is already set; \"%s\" refused", name);
        return false;
    }

    IRefCountableRegistry* refCountableRegistry() const override { return m_registry.load(std::memory_order_acquire); }

    bool setRefCountableRegistry(IRefCountableRegistry* registry) override {
        if (!registry) {
            sdkLog(logPrefix(), "ILibContext::setRefCountableRegistry: null registry refused");
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            IRefCountableRegistry* const current = m_registry.load(std::memory_order_acquire);
            if (!current || m_registryReplaceable) {
                registry->addRef();
                if (current) m_retiredRegistries.push_back(current);
                m_registry.store(registry, std::memory_order_release);
                m_registryReplaceable = false;
                return true;
            }
        }
        sdkLog(logPrefix(), "ILibContext::setRefCountableRegistry: the registry is already set; refused");
        return false;
    }

    void retire() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nameReplaceable = true;
        m_registryReplaceable = true;
    }

private:
    mutable std::mutex m_mutex;
    // Every name set, the current one last; kept so that name() may hand out
    // c_str() for the life of the context.
    std::deque<std::string> m_names;
    bool m_nameReplaceable = false;
    bool m_registryReplaceable = false;
    std::atomic<IRefCountableRegistry*> m_registry{nullptr};
    // Registries of earlier hosts: notifications racing a replacement may
    // still reach one, so each is kept until the context goes.
    std::vector<IRefCountableRegistry*> m_retiredRegistries;
};

LibContext& context() {
    static LibContext instance;
    return instance;
}

}  // namespace

ILibContext& libContext() { return context(); }

void retireLibContext() { context().retire(); }

void notifyRefCountableCreated(const IRefCountable* object, int refCount) {
    if (IRefCountableRegistry* registry = libContext().refCountableRegistry())
        registry->notifyCreated(object, refCount);
}

void notifyRefCountableDestroyed(const IRefCountable* object, int refCount) {
    if (IRefCountableRegistry* registry = libContext().refCountableRegistry())
        registry->notifyDestroyed(object, refCount);
}

}  // namespace qz::sdk
