#include "kiv/http/SessionManager.hpp"

#include <charconv>

#include "kiv/platform/SystemInfo.hpp"
#include "kiv/support/UUID.hpp"
#include "kiv/version.hpp"
#include "support/Immortal.hpp"

namespace kiv::http {

namespace {

TaskDelegate::Clock clockOf(const platform::RuntimePtr& runtime) {
    return [weak = std::weak_ptr<platform::Runtime>(runtime)] {
        auto r = weak.lock();
        return r ? r->absoluteTime() : 0.0;
    };
}

std::string textOr(const std::optional<std::string>& value) { return value ? *value : "Unknown"; }

}  // namespace

std::string SessionManager::acceptLanguage(const std::vector<std::string>& languages) {
    std::string out;
    for (std::size_t i = 0; i < languages.size() && i < 6; ++i) {
        const double quality = static_cast<double>(i) * -0.1 + 1.0;
        char buffer[32];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, quality);
        std::string q(buffer, ec == std::errc() ? end : buffer);
        if (q.find('.') == std::string::npos) q += ".0";
        if (!out.empty()) out += ", ";
        out += languages[i] + ";q=" + q;
    }
    return out;
}

std::string SessionManager::userAgent(const std::optional<platform::BundleInfo>& main, const std::string& osNameVersion) {
    if (!main) return "KIVHTTP";
    return textOr(main->executable) + "/" + textOr(main->shortVersion) + " (" + textOr(main->bundleIdentifier) + "; build:" +
           textOr(main->build) + "; " + osNameVersion + ") KIVHTTP/" + KIVVersionString;
}

HTTPHeaders SessionManager::defaultHTTPHeaders(const std::optional<platform::BundleInfo>& bundle) {
    return {
        {"Accept-Encoding", "gzip;q=1.0, compress;q=0.5"},
        {"Accept-Language", acceptLanguage(platform::SystemInfo::preferredLanguages())},
        {"User-Agent", userAgent(bundle, platform::SystemInfo::operatingSystemNameVersion())},
    };
}

const HTTPHeaders& SessionManager::defaultHTTPHeaders() {
    static Immortal<const HTTPHeaders> headers(defaultHTTPHeaders(platform::Platform::defaultPlatform().bundleInfo));
    return headers.get();
}

std::shared_ptr<SessionManager> SessionManager::defaultManager() {
    // Never destroyed: a token retry or an upload may reach it while the process exits.
    static Immortal<const std::shared_ptr<SessionManager>> manager(make(platform::Platform::defaultPlatform()));
    return manager.get();
}

std::shared_ptr<SessionManager> SessionManager::make(const platform::Platform& platform) {
    auto configuration = platform::SessionConfiguration::defaultConfiguration();
    for (const auto& [name, value] : defaultHTTPHeaders(platform.bundleInfo)) configuration.httpAdditionalHeaders.set(name, value);
    return make(platform, std::move(configuration));
}

std::shared_ptr<SessionManager> SessionManager::make(const platform::Platform& platform, platform::SessionConfiguration configuration,
                                                     std::shared_ptr<SessionDelegate> delegate) {
    std::shared_ptr<SessionManager> manager(new SessionManager(platform.completed(), std::move(configuration), std::move(delegate)));
    manager->delegate_->sessionManager_ = manager;
    return manager;
}

SessionManager::SessionManager(const platform::Platform& platform, platform::SessionConfiguration configuration,
                               std::shared_ptr<SessionDelegate> delegate)
    : runtime_(platform.runtime),
      delegate_(delegate ? std::move(delegate) : std::make_shared<SessionDelegate>()),
      session_(platform.urlSession(std::move(configuration), delegate_)),
      queue_(runtime_->makeSerialQueue("org.kivhttp.session-manager." + UUID::random().uuidString())),
      completionQueue_(runtime_->mainQueue()) {}

SessionManager::~SessionManager() { session_->invalidateAndCancel(); }

std::shared_ptr<RequestAdapter> SessionManager::adapter() const {
    std::lock_guard g(adapterLock_);
    return adapter_;
}

void SessionManager::setAdapter(std::shared_ptr<RequestAdapter> adapter) {
    std::lock_guard g(adapterLock_);
    adapter_ = std::move(adapter);
}

SessionManager::Created SessionManager::createTask(const platform::URLRequest& request,
                                                   const std::shared_ptr<TaskDelegate>& taskDelegate) {
    Created created;
    platform::URLRequest toSend = request;
    // Tasks are made on the calling thread; only an adapter, which is promised the manager's
    // queue and one call at a time, is called there.
    if (auto a = adapter()) {
        Result<platform::URLRequest> adapted = Result<platform::URLRequest>::failure(Error::custom("the request adapter threw"));
        queue_->sync([&] {
            try {
                adapted = a->adapt(request);
            } catch (...) {
            }
        });
        if (const auto* e = adapted.error()) {
            created.error = Error(AdaptError{std::make_shared<const Error>(*e)});
            created.fromAdapter = true;
            return created;
        }
        toSend = *adapted.value();
    }
    created.task = session_->dataTask(std::move(toSend), taskDelegate);
    return created;
}

std::shared_ptr<DataRequest> SessionManager::request(const URLConvertible& url, HTTPMethod method, const Parameters* parameters,
                                                     const ParameterEncoding& encoding, const HTTPHeaders* headers) {
    auto built = makeURLRequest(url, method, headers);
    if (const auto* e = built.error()) return failed(std::nullopt, *e, false);
    auto encoded = encoding.encode(*built.value(), parameters);
    if (const auto* e = encoded.error()) return failed(*built.value(), *e, false);
    return request(URLRequestConvertible(*encoded.value()));
}

std::shared_ptr<DataRequest> SessionManager::request(const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (const auto* e = converted.error()) return failed(std::nullopt, *e, false);
    const platform::URLRequest& original = *converted.value();
    // The request and its task delegate come first: the task names that delegate as its receiver.
    auto r = DataRequest::make(session_, original, nullptr, runtime_->globalQueue(), completionQueue_, clockOf(runtime_));
    auto created = createTask(original, r->delegate());
    if (created.error) return failed(original, *created.error, created.fromAdapter);
    r->delegate()->setTask(created.task);
    delegate_->setRequest(created.task->taskIdentifier(), r);
    if (startRequestsImmediately_) r->resume();
    return r;
}

std::shared_ptr<DataRequest> SessionManager::failed(std::optional<platform::URLRequest> request, Error error, bool fromAdapter) {
    auto r = DataRequest::make(session_, std::move(request), nullptr, runtime_->globalQueue(), completionQueue_, clockOf(runtime_));
    const Error unwrapped = error.underlyingAdaptError().value_or(error);
    r->delegate()->setError(unwrapped);
    if (fromAdapter && retrier()) {
        askRetrierAfterCreationFailure(r, unwrapped);
    } else if (startRequestsImmediately_) {
        r->resume();
    }
    return r;
}

void SessionManager::askRetrierAfterCreationFailure(const std::shared_ptr<DataRequest>& request, const Error& error) {
    std::weak_ptr<SessionManager> weak = weak_from_this();
    runtime_->globalQueue()->async([weak, request, error] {
        auto self = weak.lock();
        auto retrier = self ? self->retrier() : nullptr;
        if (!retrier) {
            request->resume();
            return;
        }
        retrier->should(*self, request, error, [weak, request](bool shouldRetry, double delay) {
            auto deciding = weak.lock();
            if (!deciding) {
                request->resume();
                return;
            }
            if (!shouldRetry) {
                if (deciding->startRequestsImmediately()) request->resume();
                return;
            }
            deciding->runtime_->globalQueue()->asyncAfter(platform::secondsToDuration(delay), [weak, request] {
                auto retrying = weak.lock();
                if (retrying && retrying->retry(request)) return;
                if (!retrying || retrying->startRequestsImmediately()) {
                    request->resume();
                }
            });
        });
    });
}

bool SessionManager::retry(const std::shared_ptr<Request>& request) {
    if (!request || !request->originalRequest()) return false;
    auto created = createTask(*request->originalRequest(), request->delegate());
    if (created.error) {
        request->delegate()->setError(created.error->underlyingAdaptError().value_or(*created.error));
        return false;
    }
    request->delegate()->setTask(created.task);
    request->didRetry();
    // Registered before it runs, so that its events find the request.
    delegate_->setRequest(created.task->taskIdentifier(), request);
    created.task->resume();
    return true;
}

}  // namespace kiv::http
