// MetadataPacket<I, Item>: a packet of metadata items with a timestamp and a
// duration in microseconds, created empty (no items, 0, 0). The packet keeps
// a reference to every item until it is destroyed. Built by one thread, then
// read-only.
#pragma once

#include <cstdint>
#include <vector>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk::analytics {

template <class Interface, class Item>
class MetadataPacket : public RefCountable<Interface> {
public:
    // Adds a reference to the item; a null item is skipped.
    void addItem(const Item* item) {
        if (item) m_items.push_back(Ptr<const Item>::share(item));
    }
    template <class T>
    void addItem(const Ptr<T>& item) {
        addItem(static_cast<const Item*>(item.get()));
    }
    void setTimestampUs(int64_t timestampUs) { m_timestampUs = timestampUs; }
    void setDurationUs(int64_t durationUs) { m_durationUs = durationUs; }

    int64_t timestampUs() const override { return m_timestampUs; }
    int64_t durationUs() const override { return m_durationUs; }
    int count() const override { return static_cast<int>(m_items.size()); }
    const Item* at(int i) const override {
        if (i < 0 || i >= count()) return nullptr;
        const Item* item = m_items[static_cast<size_t>(i)].get();
        item->addRef();
        return item;
    }

private:
    std::vector<Ptr<const Item>> m_items;
    int64_t m_timestampUs = 0;
    int64_t m_durationUs = 0;
};

}  // namespace qz::sdk::analytics
