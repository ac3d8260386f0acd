#pragma once
/// The Linux desktop's URL opener: runs `xdg-open URL` (no shell) for http and https URLs only.

#include <memory>
#include <string>
#include <vector>

#include "kiv/platform/runtime/Lock.hpp"
#include "kiv/platform/network/URLOpener.hpp"

namespace kiv::platform {

/// Every other scheme (file, javascript, desktop entries, ...) is refused: a notification must
/// not be able to run local programs or open local files.
/// Thread: any thread.
class KIV_EXPORT XdgURLOpener final : public URLOpener {
public:
    /// `program` is looked up in PATH; tests may name another program.
    explicit XdgURLOpener(std::string program = "xdg-open");
    ~XdgURLOpener() override;
    XdgURLOpener(const XdgURLOpener&) = delete;
    XdgURLOpener& operator=(const XdgURLOpener&) = delete;

    bool canOpenURL(std::string_view url) const override;
    bool open(std::string_view url) override;

private:
    void reapFinished();

    std::string program_;
    Lock lock_;
    std::vector<int> children_;  // pids not yet reaped
};

}  // namespace kiv::platform
