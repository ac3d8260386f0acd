#include "kiv/http/Request.hpp"

#include "kiv/Log.hpp"
#include "kiv/http/Notifications.hpp"
#include "kiv/platform/runtime/NotificationCenter.hpp"

namespace kiv::http {

namespace {
std::string escapedBody(std::string body) {
    // A backslash-quote pair keeps its backslash escaped, then every quote gets one.
    std::string step;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\\' && i + 1 < body.size() && body[i + 1] == '"') {
            step += "\\\\\"";
            ++i;
        } else {
            step += body[i];
        }
    }
    std::string out;
    for (const char c : step) {
        if (c == '"') out += '\\';
        out += c;
    }
    return out;
}

bool isUTF8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        if (c < 0x80) {
            n = 0;
        } else if ((c >> 5) == 0x6) {
            n = 1;
        } else if ((c >> 4) == 0xE) {
            n = 2;
        } else if ((c >> 3) == 0x1E) {
            n = 3;
        } else {
            return false;
        }
        if (i + n >= s.size() && n > 0) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
        }
        i += n + 1;
    }
    return true;
}
}  // namespace

Request::Request(std::shared_ptr<platform::URLSession> session, std::optional<platform::URLRequest> originalRequest,
                 std::shared_ptr<TaskDelegate> delegate, platform::QueuePtr completionQueue, TaskDelegate::Clock clock)
    : session_(std::move(session)),
      originalRequest_(std::move(originalRequest)),
      completionQueue_(std::move(completionQueue)),
      clock_(std::move(clock)),
      taskDelegate_(std::move(delegate)) {}

Request::~Request() = default;

std::shared_ptr<TaskDelegate> Request::delegate() const {
    std::lock_guard g(taskDelegateLock_);
    return taskDelegate_;
}

void Request::setDelegate(std::shared_ptr<TaskDelegate> delegate) {
    std::lock_guard g(taskDelegateLock_);
    taskDelegate_ = std::move(delegate);
}

platform::URLSessionTaskPtr Request::task() const { return delegate()->task(); }

std::optional<platform::URLRequest> Request::request() const {
    if (auto t = task()) return t->originalRequest();
    return originalRequest_;
}

std::optional<platform::HTTPURLResponse> Request::response() const {
    if (auto t = task()) return t->response();
    return std::nullopt;
}

int Request::retryCount() const {
    std::lock_guard g(stateLock_);
    return retryCount_;
}

std::optional<double> Request::startTime() const {
    std::lock_guard g(stateLock_);
    return startTime_;
}

std::optional<double> Request::endTime() const {
    std::lock_guard g(stateLock_);
    return endTime_;
}

void Request::recordEndTime() {
    const double at = now();
    std::lock_guard g(stateLock_);
    endTime_ = at;
}

void Request::didRetry() {
    const double at = now();
    std::lock_guard g(stateLock_);
    ++retryCount_;
    startTime_ = at;
    endTime_.reset();
}

Timeline Request::timeline() const {
    const double at = now();
    const auto initial = delegate()->initialResponseTime();
    std::lock_guard g(stateLock_);
    const double start = startTime_.value_or(at);
    const double completed = endTime_.value_or(at);
    return Timeline{start, initial.value_or(completed), completed, at};
}

void Request::addValidation(std::function<void()> validation) {
    std::lock_guard g(stateLock_);
    validations_.push_back(std::move(validation));
}

void Request::runValidations() {
    std::vector<std::function<void()>> validations;
    {
        std::lock_guard g(stateLock_);
        validations = validations_;
    }
    for (const auto& v : validations) {
        try {
            if (v) v();
        } catch (...) {
            log::warning("Request", "a validation threw");
        }
    }
}

void Request::resume() {
    auto d = delegate();
    auto t = d->task();
    if (!t) {
        d->queue().setSuspended(false);
        return;
    }
    {
        const double at = now();
        std::lock_guard g(stateLock_);
        if (!startTime_) startTime_ = at;
    }
    t->resume();
    platform::PostedNotification n{std::string(Notifications::didResume), shared_from_this(), {}};
    n.userInfo[std::string(Notifications::taskKey)] = t;
    platform::NotificationCenter::defaultCenter().post(n);
}

void Request::cancel() {
    if (auto t = task()) t->cancel();
}

std::string Request::description() const {
    std::string out;
    const auto r = request();
    if (r) {
        out = r->method();
        if (r->url) out += " " + r->url->absoluteString();
    }
    if (const auto resp = response()) {
        if (!out.empty()) out += " ";
        out += "(" + std::to_string(resp->statusCode) + ")";
    }
    return out;
}

std::string Request::debugDescription() const {
    const auto r = request();
    if (!r || !r->url || r->url->host().empty()) return "$ curl command could not be created";
    const auto& url = *r->url;
    std::vector<std::string> parts = {"$ curl -i"};
    const std::string method = r->method();
    if (method != "GET") parts.push_back("-X " + method);

    const auto& config = session_->configuration();
    if (config.urlCredentialStorage) {
        const platform::ProtectionSpace space{url.host(), url.port().value_or(0), url.scheme(), url.host()};
        auto credentials = config.urlCredentialStorage->credentials(space);
        if (credentials.empty()) {
            if (auto d = delegate(); d && d->credential) credentials.push_back(*d->credential);
        }
        for (const auto& c : credentials) {
            if (!c.user.empty() && !c.password.empty()) parts.push_back("-u " + c.user + ":" + c.password);
        }
    }
    if (config.httpShouldSetCookies && config.httpCookieStorage) {
        const auto cookies = config.httpCookieStorage->cookies(url);
        if (!cookies.empty()) {
            std::string text;
            for (const auto& c : cookies) text += c.name + "=" + c.value + ";";
            text.pop_back();
            parts.push_back("-b \"" + text + "\"");
        }
    }
    platform::HTTPHeaderFields fields = config.httpAdditionalHeaders;
    for (const auto& [name, value] : r->headers) fields.set(name, value);
    for (const auto& [name, value] : fields) {
        if (platform::HTTPHeaderFields::sameName(name, "Cookie")) continue;
        parts.push_back("-H \"" + name + ": " + value + "\"");
    }
    if (r->httpBody && isUTF8(*r->httpBody)) parts.push_back("-d \"" + escapedBody(*r->httpBody) + "\"");
    parts.push_back("\"" + url.absoluteString() + "\"");

    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += " \\\n\t";
        out += parts[i];
    }
    return out;
}

}  // namespace kiv::http
