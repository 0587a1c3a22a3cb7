#include "qz/sdk/helpers/lib_context.h"

#include <atomic>
#include <mutex>
#include <string>

#include "qz/sdk/helpers/log.h"

namespace qz::sdk {

namespace {

class LibContext final : public ILibContext {
public:
    ~LibContext() {
        if (IRefCountableRegistry* registry = m_registry.exchange(nullptr)) registry->releaseRef();
    }

    const char* name() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nameSet ? m_name.c_str() : "";
    }

    bool setName(const char* name) override {
        if (!name) {
            sdkLog(logPrefix(), "ILibContext::setName: null name refused");
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_nameSet) {
                m_name = name;
                m_nameSet = true;
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
        IRefCountableRegistry* expected = nullptr;
        registry->addRef();
        if (m_registry.compare_exchange_strong(expected, registry, std::memory_order_acq_rel)) return true;
        registry->releaseRef();
        sdkLog(logPrefix(), "ILibContext::setRefCountableRegistry: the registry is already set; refused");
        return false;
    }

private:
    mutable std::mutex m_mutex;
    std::string m_name;  // never changes once m_nameSet, so name() may hand out c_str()
    bool m_nameSet = false;
    std::atomic<IRefCountableRegistry*> m_registry{nullptr};
};

}  // namespace

ILibContext& libContext() {
    static LibContext context;
    return context;
}

void notifyRefCountableCreated(const IRefCountable* object, int refCount) {
    if (IRefCountableRegistry* registry = libContext().refCountableRegistry())
        registry->notifyCreated(object, refCount);
}

void notifyRefCountableDestroyed(const IRefCountable* object, int refCount) {
    if (IRefCountableRegistry* registry = libContext().refCountableRegistry())
        registry->notifyDestroyed(object, refCount);
}

}  // namespace qz::sdk
