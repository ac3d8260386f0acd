#include "kiv/platform/notifications/linux/FreedesktopNotificationPresenter.hpp"

#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/linux/SdBusLoop.hpp"
#include "platform/notifications/linux/NotificationServer.hpp"
#include "platform/notifications/linux/NotificationText.hpp"
#include "platform/notifications/linux/PresenterReports.hpp"
#include "platform/notifications/linux/ShownNotifications.hpp"

namespace kiv::platform {

namespace {

namespace fs = std::filesystem;
namespace text = notification_text;

constexpr const char* kNoOwner =
    "no notification service on the session bus (org.freedesktop.Notifications has no owner)";
// Seconds from the Unix epoch to 2001-01-01, the reference date of notifications.
constexpr double kReferenceDate = 978307200.0;

bool isNoOwner(const std::string& error) {
    return error == "org.freedesktop.DBus.Error.ServiceUnknown" || error == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

std::string describe(const sdbus::Error& e) {
    const std::string message = e.getMessage().empty() ? e.what() : e.getMessage();
    return e.getName().empty() ? message : e.getName() + ": " + message;
}

/// The link a tap follows, found where the push facade looks for it ("kiv-data" → "click-url").
bool hasClickURL(const NotificationContent& content) {
    const auto& info = content.userInfo();
    const auto data = info.find("kiv-data");
    if (data == info.end() || !data->is_object()) return false;
    const auto click = data->find("click-url");
    return click != data->end() && click->is_string() && !click->get_ref<const std::string&>().empty();
}

double referenceNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - kReferenceDate;
}

/// Where downloaded images are kept, as an absolute path without a trailing separator.
fs::path attachmentDirectoryOf(const FreedesktopPresenterOptions& options) {
    std::error_code ec;
    fs::path directory =
        options.attachmentDirectory.empty() ? fs::temp_directory_path(ec) : fs::path(options.attachmentDirectory);
    if (directory.empty()) directory = "/tmp";
    directory = fs::absolute(directory, ec).lexically_normal();
    if (directory.has_filename() == false && directory.has_parent_path())
        directory = directory.parent_path();  // "/tmp/" names "/tmp"
    return directory;
}

}  // namespace

/// The presents waiting for the loop thread, why they would fail, and the loop thread itself,
/// which connects at the first present and shows them one after another.
/// Thread: any thread for the members from `pending` to `started` (under `mutex`); `server` and
/// `shown` are the loop thread's; the rest is fixed at construction.
struct FreedesktopNotificationPresenter::Impl {
    struct Job {
        std::string requestIdentifier;
        NotificationContent content;
        Completion completion;
        DownloadedImagePtr image;  // held from the call on: a present that fails lets it go
    };

    explicit Impl(FreedesktopPresenterOptions settings)
        : options(std::move(settings)), images(attachmentDirectoryOf(options)), shown(reports) {}

    FreedesktopPresenterOptions options;
    std::shared_ptr<PresenterReports> reports = std::make_shared<PresenterReports>();
    DownloadedImages images;

    mutable std::mutex mutex;  // guards the members up to `started`
    std::vector<Job> pending;
    std::string unavailable;  // why presents fail without a call; empty while they may work
    bool noBus = false;       // for good: presents fail on the caller's thread
    bool started = false;
    SdBusLoop loop;

    // The loop thread's own. Entries still on screen when the presenter goes take their
    // downloaded images with them: no host exit leaves one behind.
    std::unique_ptr<NotificationServer> server;
    ShownNotifications shown;

    ~Impl() {
        reports->close();
        loop.stop();
        server.reset();
    }

    void complete(Completion completion, PresentResult result) {
        if (!completion) return;
        reports->post([completion = std::move(completion),
                       result = std::move(result)](const PresenterHandlers&) { completion(result); },
                      reports);
    }

    /// A present that failed: its downloaded image goes before the host hears of it.
    void refuse(Job& job, std::string error) {
        job.image.reset();
        complete(std::move(job.completion), {.id = 0, .error = std::move(error)});
    }

    /// Fails every waiting present and every later one.
    void fail(const std::string& reason) {
        std::vector<Job> jobs;
        {
            std::lock_guard guard(mutex);
            unavailable = reason;
            noBus = true;
            jobs.swap(pending);
        }
        for (auto& job : jobs) refuse(job, reason);
    }

    // ---- loop thread

    void run() {
        if (!connect()) return;
        auto& connection = server->connection();
        while (!loop.stopping()) {
            try {
                // Owner changes already heard apply before the presents that follow them.
                while (connection.processPendingRequest()) {
                }
                std::vector<Job> jobs;
                {
                    std::lock_guard guard(mutex);
                    jobs.swap(pending);
                }
                for (auto& job : jobs) show(job);
                while (connection.processPendingRequest()) {
                }
                if (!loop.wait(connection)) return;
            } catch (...) {
                fail("the session bus connection broke");
                return;
            }
        }
    }

    bool connect() {
        try {
            server = std::make_unique<NotificationServer>(
                NotificationServer::Signals{
                    .actionInvoked = [this](std::uint32_t id,
                                            const std::string& action) { shown.actionInvoked(id, action); },
                    .closed = [this](std::uint32_t id, std::uint32_t reason) { shown.closed(id, reason); },
                    .ownerChanged = [this](const std::string& newOwner) { ownerChanged(newOwner); }},
                options.callTimeout);
            return true;
        } catch (const sdbus::Error& e) {
            fail("no session bus (" + describe(e) + ")");
        } catch (...) {
            fail("no session bus");
        }
        return false;
    }

    /// Later presents fail without a call until an owner appears; returns the reason.
    std::string markNoOwner() {
        server->forgetOwner();  // the next present asks the bus again
        std::lock_guard guard(mutex);
        unavailable = kNoOwner;
        return unavailable;
    }

    /// A new server (or none) knows nothing of the old one's ids, capabilities or screen.
    void ownerChanged(const std::string& newOwner) {
        server->adopt(newOwner);
        shown.clear();
        std::lock_guard guard(mutex);
        unavailable = newOwner.empty() ? kNoOwner : "";
    }

    std::string unavailableNow() const {
        std::lock_guard guard(mutex);
        return unavailable;
    }

    void show(Job& job) {
        // One question to the bus per present (presents come at a human pace): entries, ids and
        // capabilities belong to the server that showed them.
        if (const auto now = server->currentOwner(); !server->isKnown(now)) ownerChanged(now);
        if (auto reason = unavailableNow(); !reason.empty()) {
            refuse(job, std::move(reason));
            return;
        }
        try {
            server->ensureCapabilities();
        } catch (const sdbus::Error& e) {
            refuse(job, isNoOwner(e.getName()) ? markNoOwner()
                                               : "the notification service did not answer (" + describe(e) + ")");
            return;
        }
        ShownNotification entry{job.requestIdentifier, job.content, referenceNow(), nullptr};
        const auto notification = notificationOf(entry);
        std::uint32_t id = 0;
        try {
            id = server->notify(notification);
        } catch (const sdbus::Error& e) {
            if (isNoOwner(e.getName())) {
                // Gone since the capabilities came: the same as finding nobody.
                server->forgetCapabilities();
                refuse(job, markNoOwner());
            } else {
                refuse(job, "the notification service refused it (" + describe(e) + ")");
            }
            return;
        }
        entry.image = std::move(job.image);
        shown.add(id, std::move(entry), notification.replaces);
        complete(std::move(job.completion), {.id = id, .error = {}});
    }

    /// The Notify call that shows `entry` (in place of the request's entry on screen), as far as
    /// the server can show it.
    NotificationServer::Notification notificationOf(const ShownNotification& entry) const {
        const auto& content = entry.content;
        NotificationServer::Notification notification;
        notification.appName = options.appName.empty() ? std::string("KIV") : text::summaryText(options.appName);
        notification.replaces = shown.idOf(entry.requestIdentifier);
        notification.summary = text::summaryText(content.title());
        notification.body = text::bodyText(content.subtitle(), content.body(), server->can("body-markup"));
        notification.hints.emplace("x-kiv-category", sdbus::Variant(text::summaryText(content.categoryIdentifier())));
        for (const auto& attachment : content.attachments()) {
            std::error_code ec;
            if (attachment.path().empty() || !fs::is_regular_file(attachment.path(), ec)) continue;
            notification.hints.emplace("image-path", sdbus::Variant(text::fileURI(attachment.path())));
            break;
        }
        if (server->can("actions") && hasClickURL(content))
            notification.actions = {NotificationResponse::defaultActionIdentifier, "Open"};
        return notification;
    }
};

FreedesktopNotificationPresenter::FreedesktopNotificationPresenter(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}
FreedesktopNotificationPresenter::~FreedesktopNotificationPresenter() = default;

std::shared_ptr<FreedesktopNotificationPresenter> FreedesktopNotificationPresenter::make(
    FreedesktopPresenterOptions options) {
    return std::shared_ptr<FreedesktopNotificationPresenter>(
        new FreedesktopNotificationPresenter(std::make_unique<Impl>(std::move(options))));
}

void FreedesktopNotificationPresenter::setHandlers(QueuePtr queue, PresenterHandlers handlers) {
    impl_->reports->set(std::move(queue), std::move(handlers));
}

void FreedesktopNotificationPresenter::present(const std::string& requestIdentifier, const NotificationContent& content,
                                               Completion completion) {
    try {
        // Dropped on every way out but a show: the download goes with a present that fails.
        auto image = impl_->images.hold(content);
        std::string failedAtOnce;
        bool startFailed = false;
        {
            std::lock_guard guard(impl_->mutex);
            if (impl_->loop.stopping()) return;
            if (impl_->noBus) {
                failedAtOnce = impl_->unavailable;
            } else {
                impl_->pending.push_back({requestIdentifier, content, std::move(completion), std::move(image)});
                if (!impl_->started) {
                    std::string ignored;  // every cause gets the one reason below
                    impl_->started = impl_->loop.start([raw = impl_.get()] { raw->run(); }, ignored);
                    startFailed = !impl_->started;
                }
            }
        }
        if (!failedAtOnce.empty()) {
            image.reset();
            impl_->complete(std::move(completion), {.id = 0, .error = failedAtOnce});
            return;
        }
        if (startFailed) {
            impl_->fail("cannot start the notification thread");
            return;
        }
        impl_->loop.wake();
    } catch (...) {
        impl_->fail("cannot start the notification thread");
    }
}

std::string FreedesktopNotificationPresenter::unavailableReason() const {
    std::lock_guard guard(impl_->mutex);
    return impl_->unavailable;
}

}  // namespace kiv::platform
