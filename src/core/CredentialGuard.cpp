#include "core/CredentialGuard.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "core/Logger.h"

namespace Korrafin {

namespace {

struct Summary {
    std::string address;
    std::array<uint32_t, 3> failures{};
    uint32_t refusals = 0;
    double waitSeconds = 0;
};

}  // namespace

CredentialGuard::CredentialGuard() : CredentialGuard(Limits{}) {}

CredentialGuard::CredentialGuard(Limits limits, Now now) : limits_(limits), now_(std::move(now)) {
    // A zero would divide by zero or never let anything through.
    if (limits_.burst == 0 || limits_.perConnection == 0 || limits_.forgive.count() <= 0 || limits_.maxAddresses == 0)
        throw std::invalid_argument("CredentialGuard: limits must be positive");
}

double CredentialGuard::leak(double level, Clock::time_point since, Clock::time_point now) const {
    if (now <= since) return level;
    const double forgiven = std::chrono::duration<double>(now - since) / std::chrono::duration<double>(limits_.forgive);
    return std::max(0.0, level - forgiven);
}

CredentialGuard::Clock::duration CredentialGuard::waitAfter(unsigned bursts) const {
    Clock::duration wait = limits_.firstWait;
    for (unsigned i = 1; i < bursts && wait < limits_.longestWait; ++i) wait *= 2;
    return std::min<Clock::duration>(wait, limits_.longestWait);
}

void CredentialGuard::dropForgotten(Clock::time_point now) {
    while (!order_.empty()) {
        const Entry& last = order_.back();
        if (now < last.waitUntil || now - last.lastSeen < limits_.forget) return;
        index_.erase(last.address);
        order_.pop_back();
    }
}

CredentialGuard::Entry& CredentialGuard::touch(const std::string& address, Clock::time_point now) {
    dropForgotten(now);
    if (const auto it = index_.find(address); it != index_.end()) {
        order_.splice(order_.begin(), order_, it->second);
    } else {
        if (order_.size() >= limits_.maxAddresses) {
            index_.erase(order_.back().address);
            order_.pop_back();
        }
        order_.emplace_front();
        order_.front().address = address;
        order_.front().levelAt = now;
        index_.emplace(order_.front().address, order_.begin());
    }
    Entry& e = order_.front();
    e.lastSeen = now;
    return e;
}

bool CredentialGuard::waiting(const std::string& address) {
    const Clock::time_point now = now_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = index_.find(address);
    return it != index_.end() && now < it->second->waitUntil;
}

CredentialGuard::Outcome CredentialGuard::count(Tally& tally, Clock::time_point now) {
    tally.level_ = leak(tally.level_, tally.at_, now) + 1;
    tally.at_ = now;
    // Rapid failures forgive a sliver each: what fills the bound is less than a
    // whole failure forgiven since the count stood one below it.
    return tally.level_ > limits_.perConnection - 1.0 ? Outcome::Close : Outcome::Answer;
}

CredentialGuard::Outcome CredentialGuard::failed(const std::string& address, Tally& tally, Kind kind) {
    const Clock::time_point now = now_();
    std::optional<Summary> summary;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry& e = touch(address, now);
        ++e.failures[static_cast<std::size_t>(kind)];
        e.level = leak(e.level, e.levelAt, now) + 1;
        e.levelAt = now;
        // A failure checked just as the wait began still counts, but only
        // one burst ends at a time.
        if (now >= e.waitUntil && e.level > limits_.burst - 1.0) {
            ++e.bursts;
            const Clock::duration wait = waitAfter(e.bursts);
            e.waitUntil = now + wait;
            e.level = 0;
            summary = Summary{e.address, e.failures, e.refusals, std::chrono::duration<double>(wait).count()};
            e.failures = {};
            e.refusals = 0;
        }
    }
    if (summary) {
        summaries_.logf(LogLevel::Warn, "Credential summaries",
                        "Failed credential attempts from {}: {} passwords, {} server keys, {} privilege keys wrong, "
                        "{} refused while waiting; next check in {} s",
                        summary->address, summary->failures[0], summary->failures[1], summary->failures[2],
                        summary->refusals, summary->waitSeconds);
    }
    return count(tally, now);
}

CredentialGuard::Outcome CredentialGuard::refused(const std::string& address, Tally& tally, Kind /*kind*/) {
    const Clock::time_point now = now_();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++touch(address, now).refusals;
    }
    return count(tally, now);
}

std::size_t CredentialGuard::addresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_.size();
}

}  // namespace Korrafin
