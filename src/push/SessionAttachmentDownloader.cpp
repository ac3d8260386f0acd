#include "push/KIVPushImpl.hpp"

namespace kiv::push {

namespace {

// Stand-in until the shared URL session is available: every download fails without a file.
class UnavailableDownloader final : public AttachmentDownloader {
public:
    std::shared_ptr<DownloadHandle> download(const std::string&, DownloadCompletion completion) override {
        if (completion) completion(std::nullopt, std::string("no URL session"));
        return nullptr;
    }
};

}  // namespace

std::shared_ptr<AttachmentDownloader> makeSessionAttachmentDownloader() {
    return std::make_shared<UnavailableDownloader>();
}

}  // namespace kiv::push
