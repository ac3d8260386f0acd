#include "platform/push/DeliveryMemory.hpp"

namespace kiv::platform {

bool DeliveryMemory::firstTime(std::string_view id) {
    if (id.empty()) return true;
    std::string key(id);
    if (known_.contains(key)) return false;
    if (order_.size() == capacity) {
        known_.erase(order_.front());
        order_.pop_front();
    }
    known_.insert(key);
    order_.push_back(std::move(key));
    return true;
}

}  // namespace kiv::platform
