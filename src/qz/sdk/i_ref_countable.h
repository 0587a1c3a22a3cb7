// The root of every object that crosses the host boundary.
//
// Virtual slots, in order: destructor, queryInterface, addRef, releaseRef.
// Counts are atomic, start at 1 and the object deletes itself when its count
// reaches 0. queryInterface takes an interface id text such as
// "qz::sdk::IRefCountable"; on a hit it adds a reference and returns the
// object as that interface, on a miss it returns null and leaves the count
// unchanged. All four are thread-safe.
#pragma once

namespace qz::sdk {

class IRefCountable {
public:
    static constexpr const char* interfaceId() { return "qz::sdk::IRefCountable"; }

    virtual ~IRefCountable() = default;
    virtual void* queryInterface(const char* interfaceId) = 0;
    virtual int addRef() const = 0;
    virtual int releaseRef() const = 0;
};

}  // namespace qz::sdk
