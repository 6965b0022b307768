// At most N holders per key at a time (e.g. connections per remote address
// that have not logged in yet). A holder owns a Slot; the slot gives its
// place back when released or destroyed, on any thread, also after the
// limit object itself is gone. Any thread; one small mutex (a leaf).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace Korrafin {

class PerKeyLimit {
    struct Table {
        std::mutex mutex;
        std::unordered_map<std::string, std::size_t> held;
    };

public:
    // A place taken under one key; empty when default-made, moved from or
    // released. Move-only.
    class Slot {
    public:
        Slot() = default;
        ~Slot() { release(); }
        Slot(Slot&& other) noexcept : table_(std::move(other.table_)), key_(std::move(other.key_)) {}
        Slot& operator=(Slot&& other) noexcept {
            if (this != &other) {
                release();
                table_ = std::move(other.table_);
                key_ = std::move(other.key_);
            }
            return *this;
        }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

        explicit operator bool() const noexcept { return table_ != nullptr; }

        // Gives the place back now; later calls do nothing.
        void release() noexcept {
            if (!table_) return;
            {
                std::lock_guard<std::mutex> lock(table_->mutex);
                const auto it = table_->held.find(key_);
                if (it != table_->held.end() && --it->second == 0) table_->held.erase(it);
            }
            table_.reset();
        }

    private:
        friend class PerKeyLimit;
        Slot(std::shared_ptr<Table> table, std::string key) : table_(std::move(table)), key_(std::move(key)) {}

        std::shared_ptr<Table> table_;
        std::string key_;
    };

    explicit PerKeyLimit(std::size_t perKey) : perKey_(perKey) {}

    PerKeyLimit(const PerKeyLimit&) = delete;
    PerKeyLimit& operator=(const PerKeyLimit&) = delete;

    // A slot under `key`, or an empty one when `key` holds the limit already.
    Slot tryAcquire(const std::string& key) {
        std::lock_guard<std::mutex> lock(table_->mutex);
        std::size_t& n = table_->held[key];
        if (n >= perKey_) return {};
        ++n;
        return Slot(table_, key);
    }

    // Places held under `key` now.
    std::size_t held(const std::string& key) const {
        std::lock_guard<std::mutex> lock(table_->mutex);
        const auto it = table_->held.find(key);
        return it == table_->held.end() ? 0 : it->second;
    }

private:
    const std::size_t perKey_;
    const std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

}  // namespace Korrafin
