// A table of live handles. Handles are opaque numbers, never pointers, so a
// stale, forged or wrong-kind handle is looked up and refused, not dereferenced.
#ifndef KEYHOLD_CORE_HANDLE_TABLE_H
#define KEYHOLD_CORE_HANDLE_TABLE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace keyhold {

template <typename T>
class HandleTable {
public:
    // `tag` is mixed into the handle values so that handles of different kinds
    // do not collide (a key handle passed as a context is simply not found).
    explicit HandleTable(std::uintptr_t tag) : next_(tag << 32 | 1) {}

    std::uintptr_t Add(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uintptr_t handle = next_++;
        objects_.emplace(handle, std::move(object));
        return handle;
    }

    std::shared_ptr<T> Find(std::uintptr_t handle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = objects_.find(handle);
        return it == objects_.end() ? nullptr : it->second;
    }

    // Removes the handle and returns its object (null when it was not live).
    std::shared_ptr<T> Remove(std::uintptr_t handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = objects_.find(handle);
        if (it == objects_.end()) return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

private:
    mutable std::mutex mutex_;
    std::uintptr_t next_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<T>> objects_;
};

}  // namespace keyhold

#endif
