#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace orvane {

// Change observers of an observable object (engine, settings, calibration state), main thread only.
// A subscription unsubscribes when destroyed; observers may subscribe or unsubscribe while being told.
class Observers {
public:
    using Observer = std::function<void()>;

    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept { *this = std::move(other); }
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                reset();
                list_ = std::move(other.list_);
                id_ = other.id_;
                other.list_.reset();
            }
            return *this;
        }
        ~Subscription() { reset(); }
        void reset() {
            if (auto list = list_.lock()) list->erase(id_);
            list_.reset();
        }

    private:
        friend class Observers;
        using List = std::map<std::uint64_t, Observer>;
        Subscription(std::weak_ptr<List> list, std::uint64_t id) : list_(std::move(list)), id_(id) {}
        std::weak_ptr<List> list_;
        std::uint64_t id_ = 0;
    };

    [[nodiscard]] Subscription subscribe(Observer observer) {
        auto id = next_++;
        list_->emplace(id, std::move(observer));
        return Subscription(list_, id);
    }

    void notify() const {
        std::vector<std::uint64_t> ids;
        for (const auto& entry : *list_) ids.push_back(entry.first);
        for (auto id : ids) {
            auto found = list_->find(id);
            if (found == list_->end()) continue;
            Observer observer = found->second; // a copy: the observer may unsubscribe itself
            observer();
        }
    }

private:
    std::shared_ptr<Subscription::List> list_ = std::make_shared<Subscription::List>();
    std::uint64_t next_ = 1;
};

} // namespace orvane
