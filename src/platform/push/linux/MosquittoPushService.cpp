#include "kiv/platform/push/linux/MosquittoPushService.hpp"

#include <mutex>

#include "kiv/support/Hex.hpp"
#include "platform/push/PushReporter.hpp"
#include "platform/push/linux/DeviceTokenFile.hpp"
#include "platform/push/linux/MosquittoConnection.hpp"
#include "platform/push/linux/SmallFile.hpp"

namespace kiv::platform {
namespace {

constexpr std::size_t kMaxPasswordFile = 4096;

}  // namespace

/// Thread: start/stop/status from any thread, one start or stop at a time (lifecycle).
struct MosquittoPushService::Impl {
    PushSettings settings;
    std::mutex lifecycle;
    bool started = false;
    bool stopped = false;
    PushReporter reporter;
    std::unique_ptr<MosquittoConnection> connection;

    /// The connection for the settings, or none with the reason.
    std::unique_ptr<MosquittoConnection> connect(std::string* why);
};

std::unique_ptr<MosquittoConnection> MosquittoPushService::Impl::connect(std::string* why) {
    auto directory = DeviceTokenFile::directory(settings.stateDirectory, why);
    auto token = directory ? DeviceTokenFile::loadOrCreate(*directory, why) : std::nullopt;
    if (!token) return nullptr;
    MosquittoConnection::Options options;
    auto broker = BrokerAddress::parse(settings.broker, why);
    if (!broker) return nullptr;
    options.broker = std::move(*broker);
    options.clientId = hexadecimal(*token, HexCase::upper);
    options.topic = "kiv/push/" + options.clientId;
    options.username = settings.username;
    if (!settings.passwordFile.empty()) {
        std::string problem;
        auto text = readSmallFile(settings.passwordFile, kMaxPasswordFile, &problem);
        if (!text) {
            *why = "cannot read the password: " + problem;
            return nullptr;
        }
        std::string line = text->substr(0, text->find('\n'));
        if (line.ends_with('\r')) line.pop_back();
        options.password = std::move(line);
    }
    options.caFile = settings.caFile;
    options.certFile = settings.certFile;
    options.keyFile = settings.keyFile;
    options.sessionExpiry = settings.sessionExpiry;
    PushReporter* to = &reporter;
    auto made = MosquittoConnection::make(
        std::move(options),
        {.status = [to](PushStatus status) { to->setStatus(std::move(status)); },
         .message = [to](std::string_view bytes, std::string_view id) { to->deliver(bytes, id); }},
        why);
    if (made) reporter.registered(*token);
    return made;
}

// The connection keeps its own thread and back-off: no timer of the runtime is needed.
std::shared_ptr<MosquittoPushService> MosquittoPushService::make(PushSettings settings, RuntimePtr) {
    auto impl = std::make_unique<Impl>();
    impl->settings = std::move(settings);
    return std::shared_ptr<MosquittoPushService>(new MosquittoPushService(std::move(impl)));
}

PushService::Factory MosquittoPushService::factory() {
    return [](PushSettings settings, RuntimePtr runtime) -> std::shared_ptr<PushService> {
        return make(std::move(settings), std::move(runtime));
    };
}

MosquittoPushService::MosquittoPushService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MosquittoPushService::~MosquittoPushService() { stop(); }

void MosquittoPushService::start(QueuePtr queue, PushHandlers handlers) {
    std::lock_guard g(impl_->lifecycle);
    if (impl_->started || impl_->stopped) return;
    impl_->started = true;
    impl_->reporter.open(std::move(queue), std::move(handlers));
    std::string why;
    impl_->connection = impl_->connect(&why);
    if (!impl_->connection) {
        impl_->reporter.setStatus({PushState::failed, why});
        return;
    }
    impl_->connection->start();
}

void MosquittoPushService::stop() {
    std::lock_guard g(impl_->lifecycle);
    impl_->stopped = true;
    impl_->reporter.close();
    if (!impl_->connection) return;
    impl_->connection->stop();
    impl_->reporter.setStatus({PushState::disconnected, "stopped"});
}

PushStatus MosquittoPushService::status() const { return impl_->reporter.status(); }

}  // namespace kiv::platform
