#include "kiv/platform/BundleInfo.hpp"

#include <mutex>

namespace kiv::platform {

namespace {
std::mutex& infoMutex() {
    static std::mutex m;
    return m;
}
std::optional<BundleInfo>& infoSlot() {
    static std::optional<BundleInfo> info;
    return info;
}
}  // namespace

void BundleInfo::setMain(std::optional<BundleInfo> info) {
    std::lock_guard g(infoMutex());
    infoSlot() = std::move(info);
}

std::optional<BundleInfo> BundleInfo::main() {
    std::lock_guard g(infoMutex());
    return infoSlot();
}

}  // namespace kiv::platform
