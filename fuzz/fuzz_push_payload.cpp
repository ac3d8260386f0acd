// Arbitrary push payloads through the notification service, the expiry call and tap handling.
// Checks that every notification is delivered at most once and that images stay in their directory.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/sim/RecordingURLOpener.hpp"
#include "push/KIVPushImpl.hpp"

namespace {

namespace fs = std::filesystem;

/// Holds downloads until told to finish them with the fuzz input as the body.
class HeldDownloader final : public kiv::push::AttachmentDownloader {
public:
    std::shared_ptr<kiv::push::DownloadHandle> download(const std::string&,
                                                        kiv::push::DownloadCompletion done) override {
        pending_.push_back(std::move(done));
        return nullptr;
    }
    void finishAll(const fs::path& spool, const std::string& body) {
        auto pending = std::move(pending_);
        pending_.clear();
        for (auto& done : pending) {
            const fs::path file = spool / "download";
            std::ofstream(file, std::ios::binary | std::ios::trunc) << body;
            done(file, std::string("fuzz"));
            std::error_code ignored;
            fs::remove(file, ignored);
        }
    }

private:
    std::vector<kiv::push::DownloadCompletion> pending_;
};

struct World {
    World() {
        std::string pattern = (fs::temp_directory_path() / "kiv-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data())) root = pattern;
        images = root / "images";
        spool = root / "spool";
        fs::create_directories(images);
        fs::create_directories(spool);
        push.setURLOpener(opener);
        push.setTemporaryDirectory(images.string());
        kiv::push::FacadeAccess::setAttachmentDownloader(push, downloader);
        push.enableLog(true);
        using Type = kiv::KIVPush::NotificationType;
        push.notificationHandler(Type::Basic, "t", "s", "b", "http://127.0.0.1/i/a.png", "https://example.test/c");
        push.notificationHandler(Type::EnterRegion, std::nullopt, std::nullopt, "enter");
    }
    ~World() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root, images, spool;
    kiv::KIVPush push;
    std::shared_ptr<kiv::platform::RecordingURLOpener> opener = std::make_shared<kiv::platform::RecordingURLOpener>();
    std::shared_ptr<HeldDownloader> downloader = std::make_shared<HeldDownloader>();
};

void checkAttachments(const kiv::platform::NotificationContent& content, const fs::path& images) {
    for (const auto& a : content.attachments())
        if (fs::path(a.path()).parent_path() != images) std::abort();
}

void run(World& world, const nlohmann::json& payload, const std::string& body, bool expireFirst) {
    int deliveries = 0;
    auto handler = [&](const kiv::platform::NotificationContent& content) {
        ++deliveries;
        checkAttachments(content, world.images);
    };
    std::shared_ptr<kiv::platform::MutableNotificationContent> content;
    kiv::platform::ContentHandler place;
    const kiv::platform::NotificationRequest request("fuzz", kiv::platform::NotificationContent::fromPayload(payload));
    const bool taken = world.push.didReceive(request, handler, content, place);
    if (!expireFirst) world.downloader->finishAll(world.spool, body);
    world.push.serviceExtensionTimeWillExpire(content, place);
    world.downloader->finishAll(world.spool, body);
    if (deliveries > 1 || (taken && !content)) std::abort();
    world.push.didReceive(kiv::platform::NotificationResponse(kiv::platform::Notification(request)));
    if (content)
        world.push.didReceive(kiv::platform::NotificationResponse(
            kiv::platform::Notification(kiv::platform::NotificationRequest("fuzz", *content))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiv::log::Capture quiet;
    static World world;
    const std::string input(reinterpret_cast<const char*>(data), size);
    // Parsed as a host would (no depth limit, no copy): the service itself must cope with depth.
    nlohmann::json usable = nlohmann::json::parse(input, nullptr, false);
    // Non-JSON inputs still run as an empty payload.
    if (usable.is_discarded()) usable = nlohmann::json::object();
    // Once with an image body that arrives in time, once with the raw bytes arriving too late.
    run(world, usable, "\x89PNG\r\n\x1a\n" + input, false);
    run(world, usable, input, true);
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(world.images, ignored)) fs::remove(entry.path(), ignored);
    return 0;
}
