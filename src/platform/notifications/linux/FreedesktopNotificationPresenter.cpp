#include "kiv/platform/notifications/linux/FreedesktopNotificationPresenter.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <vector>

#include "platform/notifications/linux/NotificationText.hpp"
#include "platform/notifications/linux/PresenterReports.hpp"
#include "platform/linux/SdBusLoop.hpp"

namespace kiv::platform {

namespace {

namespace fs = std::filesystem;
namespace text = notification_text;

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
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

/// One notification on screen.
struct Shown {
    std::string requestIdentifier;
    NotificationContent content;
    double date = 0;
    std::optional<fs::path> ownedFile;  // a downloaded image to delete when no entry needs it
};

}  // namespace

struct FreedesktopNotificationPresenter::Impl {
    struct Job {
        std::string requestIdentifier;
        NotificationContent content;
        Completion completion;
    };

    FreedesktopPresenterOptions options;
    fs::path attachmentDirectory;
    std::shared_ptr<PresenterReports> reports = std::make_shared<PresenterReports>();

    mutable std::mutex mutex;  // guards the members up to `started`
    std::vector<Job> pending;
    std::string unavailable;  // why presents fail without a call; empty while they may work
    bool noBus = false;       // for good: presents fail on the caller's thread
    bool started = false;
    SdBusLoop loop;

    // The loop thread's own.
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
    std::unique_ptr<sdbus::IProxy> busProxy;  // the bus itself: who owns the service now
    std::vector<sdbus::Slot> matches;
    std::optional<std::set<std::string>> capabilities;
    std::map<std::uint32_t, Shown> shown;
    std::map<std::string, std::uint32_t> idOf;
    std::optional<std::string> owner;  // the unique name of the server these entries live on

    ~Impl() {
        reports->close();
        loop.stop();
        proxy.reset();
        busProxy.reset();
        matches.clear();
        connection.reset();
    }

    void complete(Completion completion, PresentResult result) {
        if (!completion) return;
        reports->post([completion = std::move(completion),
                    result = std::move(result)](const PresenterHandlers&) { completion(result); },
                   reports);
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
        for (auto& job : jobs) complete(std::move(job.completion), {.id = 0, .error = reason});
    }

    template <class F>
    static void guarded(F&& f) {
        try {
            f();
        } catch (...) {
            // A message we cannot read costs that message only.
        }
    }

    // ---- loop thread

    void run() {
        try {
            connection = sdbus::createSessionBusConnection();
            subscribe();
            proxy = sdbus::createProxy(*connection, kService, kPath);
            busProxy = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        } catch (const sdbus::Error& e) {
            fail("no session bus (" + describe(e) + ")");
            return;
        } catch (...) {
            fail("no session bus");
            return;
        }
        while (!loop.stopping()) {
            try {
                // Owner changes already heard apply before the presents that follow them.
                while (connection->processPendingRequest()) {
                }
                std::vector<Job> jobs;
                {
                    std::lock_guard guard(mutex);
                    jobs.swap(pending);
                }
                for (auto& job : jobs) show(job);
                while (connection->processPendingRequest()) {
                }
                if (!loop.wait(*connection)) return;
            } catch (...) {
                fail("the session bus connection broke");
                return;
            }
        }
    }

    void subscribe() {
        const std::string fromService =
            std::string("type='signal',sender='") + kService + "',path='" + kPath + "',interface='" + kInterface + "',";
        matches.push_back(connection->addMatch(fromService + "member='ActionInvoked'", [this](sdbus::Message& m) {
            guarded([&] {
                std::uint32_t id = 0;
                std::string action;
                m >> id >> action;
                actionInvoked(id, action);
            });
        }));
        matches.push_back(connection->addMatch(fromService + "member='NotificationClosed'", [this](sdbus::Message& m) {
            guarded([&] {
                std::uint32_t id = 0;
                std::uint32_t reason = 0;
                m >> id >> reason;
                closed(id, reason);
            });
        }));
        matches.push_back(
            connection->addMatch(std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                             "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                                     kService + "'",
                                 [this](sdbus::Message& m) {
                                     guarded([&] {
                                         std::string name, oldOwner, newOwner;
                                         m >> name >> oldOwner >> newOwner;
                                         // Only news of the server we know: a present may have
                                         // asked the bus before this signal came.
                                         if (owner && *owner == oldOwner) ownerChanged(newOwner);
                                     });
                                 }));
    }

    /// Later presents fail without a call until an owner appears; returns the reason.
    std::string markNoOwner() {
        owner.reset();  // the next present asks the bus again
        std::lock_guard guard(mutex);
        unavailable = kNoOwner;
        return unavailable;
    }

    /// A new server (or none) knows nothing of the old one's ids, capabilities or screen.
    void ownerChanged(const std::string& newOwner) {
        owner = newOwner;
        capabilities.reset();
        idOf.clear();
        auto gone = std::move(shown);
        shown.clear();
        for (auto& [id, entry] : gone) release(entry);
        std::lock_guard guard(mutex);
        unavailable = newOwner.empty() ? kNoOwner : "";
    }

    void actionInvoked(std::uint32_t id, const std::string& action) {
        const auto found = shown.find(id);
        if (found == shown.end()) return;
        NotificationResponse response(
            Notification(NotificationRequest(found->second.requestIdentifier, found->second.content),
                         found->second.date),
            action);
        reports->post(
            [response](const PresenterHandlers& h) {
                if (h.response) h.response(response);
            },
            reports);
    }

    void closed(std::uint32_t id, std::uint32_t reason) {
        const auto found = shown.find(id);
        if (found == shown.end()) return;
        Shown entry = std::move(found->second);
        shown.erase(found);
        if (const auto mapped = idOf.find(entry.requestIdentifier); mapped != idOf.end() && mapped->second == id)
            idOf.erase(mapped);
        release(entry);
        reports->post(
            [request = entry.requestIdentifier, reason](const PresenterHandlers& h) {
                if (h.closed) h.closed(request, reason);
            },
            reports);
    }

    /// Deletes the entry's downloaded image unless another entry still shows it.
    void release(const Shown& entry) const {
        if (!entry.ownedFile) return;
        for (const auto& [id, other] : shown)
            if (other.ownedFile == entry.ownedFile) return;
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(*entry.ownedFile, ec))) fs::remove(*entry.ownedFile, ec);
    }

    /// The attachment as a file to delete later: only the push facade's downloads in its directory.
    std::optional<fs::path> ownedFileOf(const NotificationAttachment& attachment) const {
        if (attachment.identifier() != downloadedAttachmentIdentifier) return std::nullopt;
        const fs::path path = fs::path(attachment.path()).lexically_normal();
        std::error_code ec;
        if (!path.is_absolute() || path.parent_path() != attachmentDirectory ||
            !fs::is_regular_file(fs::symlink_status(path, ec)))
            return std::nullopt;
        return path;
    }

    /// The server's capabilities, asked once per owner; an error name when it did not answer.
    std::string ensureCapabilities() {
        if (capabilities) return {};
        try {
            auto call = proxy->createMethodCall(kInterface, "GetCapabilities");
            auto reply =
                proxy->callMethod(call, std::chrono::duration_cast<std::chrono::microseconds>(options.callTimeout));
            std::vector<std::string> list;
            reply >> list;
            capabilities.emplace(list.begin(), list.end());
            return {};
        } catch (const sdbus::Error& e) {
            return e.getName().empty() ? describe(e) : e.getName() + "\n" + describe(e);
        }
    }

    /// The service's owner now, asked of the bus (the empty text when there is none): a server
    /// that appeared or restarted may be ahead of its NameOwnerChanged signals.
    std::string currentOwner() {
        try {
            auto call = busProxy->createMethodCall("org.freedesktop.DBus", "GetNameOwner");
            call << std::string(kService);
            auto reply = busProxy->callMethod(call, std::chrono::duration_cast<std::chrono::microseconds>(options.callTimeout));
            std::string name;
            reply >> name;
            return name;
        } catch (const sdbus::Error&) {
            return {};
        }
    }

    void show(Job& job) {
        // One question to the bus per present (presents come at a human pace): entries, ids and
        // capabilities belong to the server that showed them.
        if (const auto now = currentOwner(); !owner || now != *owner) ownerChanged(now);
        {
            std::lock_guard guard(mutex);
            if (!unavailable.empty()) {
                const auto reason = unavailable;
                complete(std::move(job.completion), {.id = 0, .error = reason});
                return;
            }
        }
        if (auto error = ensureCapabilities(); !error.empty()) {
            const auto name = error.substr(0, error.find('\n'));
            if (isNoOwner(name)) {
                complete(std::move(job.completion), {.id = 0, .error = markNoOwner()});
            } else {
                complete(std::move(job.completion), {.id = 0,
                                                     .error = "the notification service did not answer (" +
                                                              error.substr(error.find('\n') + 1) + ")"});
            }
            return;
        }
        const auto& content = job.content;
        const bool markup = capabilities->contains("body-markup");
        std::map<std::string, sdbus::Variant> hints;
        hints.emplace("x-kiv-category", sdbus::Variant(text::summaryText(content.categoryIdentifier())));
        Shown entry{job.requestIdentifier, content, referenceNow(), std::nullopt};
        for (const auto& attachment : content.attachments()) {
            std::error_code ec;
            if (attachment.path().empty() || !fs::is_regular_file(attachment.path(), ec)) continue;
            hints.emplace("image-path", sdbus::Variant(text::fileURI(attachment.path())));
            entry.ownedFile = ownedFileOf(attachment);
            break;
        }
        std::vector<std::string> actions;
        if (capabilities->contains("actions") && hasClickURL(content))
            actions = {NotificationResponse::defaultActionIdentifier, "Open"};
        const auto previous = idOf.find(job.requestIdentifier);
        const std::uint32_t replaces = previous == idOf.end() ? 0 : previous->second;
        std::uint32_t id = 0;
        try {
            auto call = proxy->createMethodCall(kInterface, "Notify");
            call << (options.appName.empty() ? std::string("KIV") : text::summaryText(options.appName)) << replaces
                 << std::string() << text::summaryText(content.title())
                 << text::bodyText(content.subtitle(), content.body(), markup) << actions << hints << std::int32_t{-1};
            auto reply =
                proxy->callMethod(call, std::chrono::duration_cast<std::chrono::microseconds>(options.callTimeout));
            reply >> id;
        } catch (const sdbus::Error& e) {
            if (isNoOwner(e.getName())) {
                // Gone since the capabilities came: the same as finding nobody.
                capabilities.reset();
                complete(std::move(job.completion), {.id = 0, .error = markNoOwner()});
            } else {
                complete(std::move(job.completion),
                         {.id = 0, .error = "the notification service refused it (" + describe(e) + ")"});
            }
            return;
        }
        if (replaces != 0) {
            if (auto old = shown.find(replaces); old != shown.end()) {
                Shown replaced = std::move(old->second);
                shown.erase(old);
                if (replaced.ownedFile != entry.ownedFile) release(replaced);
            }
        }
        idOf[job.requestIdentifier] = id;
        shown[id] = std::move(entry);
        complete(std::move(job.completion), {.id = id, .error = {}});
    }
};

FreedesktopNotificationPresenter::FreedesktopNotificationPresenter(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}
FreedesktopNotificationPresenter::~FreedesktopNotificationPresenter() = default;

std::shared_ptr<FreedesktopNotificationPresenter> FreedesktopNotificationPresenter::make(
    FreedesktopPresenterOptions options) {
    auto impl = std::make_unique<Impl>();
    std::error_code ec;
    fs::path directory =
        options.attachmentDirectory.empty() ? fs::temp_directory_path(ec) : fs::path(options.attachmentDirectory);
    if (directory.empty()) directory = "/tmp";
    impl->attachmentDirectory = fs::absolute(directory, ec).lexically_normal();
    if (impl->attachmentDirectory.has_filename() == false && impl->attachmentDirectory.has_parent_path())
        impl->attachmentDirectory = impl->attachmentDirectory.parent_path();  // "/tmp/" names "/tmp"
    impl->options = std::move(options);
    return std::shared_ptr<FreedesktopNotificationPresenter>(new FreedesktopNotificationPresenter(std::move(impl)));
}

void FreedesktopNotificationPresenter::setHandlers(QueuePtr queue, PresenterHandlers handlers) {
    impl_->reports->set(std::move(queue), std::move(handlers));
}

void FreedesktopNotificationPresenter::present(const std::string& requestIdentifier, const NotificationContent& content,
                                               Completion completion) {
    try {
        std::string failedAtOnce;
        bool startFailed = false;
        {
            std::lock_guard guard(impl_->mutex);
            if (impl_->loop.stopping()) return;
            if (impl_->noBus) {
                failedAtOnce = impl_->unavailable;
            } else {
                impl_->pending.push_back({requestIdentifier, content, std::move(completion)});
                if (!impl_->started) {
                    std::string ignored;  // every cause gets the one reason below
                    impl_->started = impl_->loop.start([raw = impl_.get()] { raw->run(); }, ignored);
                    startFailed = !impl_->started;
                }
            }
        }
        if (!failedAtOnce.empty()) {
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
