#include "platform/network/linux/CurlURLSession.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/runtime/ExitStop.hpp"
#include "platform/network/linux/CurlErrors.hpp"
#include "platform/network/linux/CurlResponseHead.hpp"

namespace kiv::platform {

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What a delegate-reporting task holds back before it posts a piece of its body.
constexpr std::size_t kDelegateChunkBytes = 256 * 1024;

std::string noProxyList() {
    // Loopback never goes through a proxy; keep whatever the environment adds.
    std::string list = "127.0.0.1,localhost,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (const char* v = std::getenv(name); v && *v) {
            list += ",";
            list += v;
            break;
        }
    }
    return list;
}

}  // namespace

class CurlTask;

struct Transfer {
    std::shared_ptr<CurlTask> task;
    CurlURLSession::Engine* engine = nullptr;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    std::string body;  // request body; curl reads it in place
    std::string url;
    CurlResponseHead head;  // the head being read
    bool headDelivered = false;
    int redirects = 0;
    bool anyBody = false;
    // The final head and the body not yet posted to the delegate (or, for a task with a
    // completion callback, the whole body).
    std::optional<HTTPURLResponse> pendingHead;
    std::string received;
    std::FILE* file = nullptr;
    std::string filePath;
    bool writeFailed = false;
    // Decoded body bytes of the final answer, against the session's maximum.
    std::int64_t bodyBytes = 0;
    bool tooLarge = false;
    // Idle timeout.
    Duration idleTimeout{};
    TimePoint lastActivity{};
    curl_off_t lastDown = -1;
    curl_off_t lastUp = -1;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
        if (file) std::fclose(file);
    }
};

/// Thread: every member is safe from any thread.
class CurlTask final : public URLSessionTask {
public:
    CurlTask(std::weak_ptr<CurlURLSession::Engine> engine, std::uint64_t id, Kind kind, URLRequest request,
             URLSession::DataCompletion onData, URLSession::DownloadCompletion onDownload,
             std::weak_ptr<URLSessionTaskDelegate> taskDelegate = {})
        : dataCompletion(std::move(onData)),
          downloadCompletion(std::move(onDownload)),
          engine_(std::move(engine)),
          id_(id),
          kind_(kind),
          request_(std::move(request)),
          taskDelegate_(std::move(taskDelegate)),
          viaCompletion_(dataCompletion || downloadCompletion || kind == Kind::download) {}

    std::uint64_t taskIdentifier() const override { return id_; }
    Kind kind() const override { return kind_; }
    State state() const override {
        std::lock_guard g(mutex_);
        return state_;
    }
    const URLRequest& originalRequest() const override { return request_; }
    std::optional<HTTPURLResponse> response() const override {
        std::lock_guard g(mutex_);
        return response_;
    }
    std::int64_t countOfBytesReceived() const override { return received_.load(std::memory_order_relaxed); }
    std::optional<TimePoint> firstBodyBytesTime() const override {
        std::lock_guard g(mutex_);
        return firstBodyBytes_;
    }
    std::shared_ptr<URLSessionTaskDelegate> taskDelegate() const override { return taskDelegate_.lock(); }
    void resume() override;
    void cancel() override;
    std::shared_ptr<CurlTask> self() { return std::static_pointer_cast<CurlTask>(shared_from_this()); }

    void setResponse(const HTTPURLResponse& response) {
        std::lock_guard g(mutex_);
        response_ = response;
    }
    void addReceived(std::size_t n, bool first) {
        if (first) {
            const auto at = SteadyClock::now();
            std::lock_guard g(mutex_);
            firstBodyBytes_ = at;
        }
        received_.fetch_add(static_cast<std::int64_t>(n), std::memory_order_relaxed);
    }
    /// Marks the task completed; false when it already was.
    bool markCompleted() {
        std::lock_guard g(mutex_);
        if (state_ == State::completed) return false;
        state_ = State::completed;
        return true;
    }

    // Moved out once, by the completion.
    URLSession::DataCompletion dataCompletion;
    URLSession::DownloadCompletion downloadCompletion;
    /// Body and completion go to the callbacks rather than to the session's delegate.
    bool reportsToCompletion() const { return viaCompletion_; }

private:
    std::weak_ptr<CurlURLSession::Engine> engine_;
    const std::uint64_t id_;
    const Kind kind_;
    const URLRequest request_;
    mutable std::mutex mutex_;
    State state_ = State::suspended;
    std::optional<HTTPURLResponse> response_;
    std::optional<TimePoint> firstBodyBytes_;
    std::atomic<std::int64_t> received_{0};
    const std::weak_ptr<URLSessionTaskDelegate> taskDelegate_;
    const bool viaCompletion_;
};

namespace {
/// The engine whose thread is the calling one (each session thread runs one engine).
thread_local const CurlURLSession::Engine* tlsEngine = nullptr;
}  // namespace

/// The session's delegate queue. Its tasks run on the session's own thread between transfers, so
/// an answer reaches its task delegate without a hand-over to another thread; once that thread
/// has ended, on a serial queue of the runtime.
/// Thread: any thread may submit; tasks run on the session thread (or the fallback queue).
class SessionThreadQueue final : public Queue, public std::enable_shared_from_this<SessionThreadQueue> {
public:
    explicit SessionThreadQueue(QueuePtr fallback) : fallback_(std::move(fallback)) {}
    void attach(std::weak_ptr<CurlURLSession::Engine> engine) { engine_ = std::move(engine); }

    const std::string& label() const override { return fallback_->label(); }
    void async(Task task) override;
    void sync(const Task& task) override {
        if (isCurrent()) {
            task();
            return;
        }
        std::promise<void> done;
        auto ran = done.get_future();
        async([&task, &done] {
            task();
            done.set_value();
        });
        ran.wait();
    }
    bool isCurrent() const override;
    TimePoint now() const override { return fallback_->now(); }
    std::shared_ptr<ScheduledTask> asyncAt(TimePoint when, Task task) override {
        return fallback_->asyncAt(when, [weak = weak_from_this(), task = std::move(task)]() mutable {
            if (auto self = weak.lock()) self->async(std::move(task));
        });
    }

private:
    std::weak_ptr<CurlURLSession::Engine> engine_;
    const QueuePtr fallback_;
};

struct CurlURLSession::Engine : std::enable_shared_from_this<CurlURLSession::Engine> {
    enum class Command { add, cancel };

    Engine(SessionConfiguration c, std::shared_ptr<URLSessionDelegate> d, QueuePtr q)
        : configuration(std::move(c)), queue(std::move(q)), delegate_(std::move(d)), noProxy_(noProxyList()) {
        globalInit();
        multi_ = curl_multi_init();
    }
    ~Engine() {
        exitStop_.reset();
        transfers_.clear();
        if (multi_) curl_multi_cleanup(multi_);
    }

    void start() {
        thread_ = std::thread([self = shared_from_this()] { self->run(); });
        exitStop_ = ExitStop::enroll([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->shutdown();
        });
    }

    /// Stops the thread: cancels what runs; joins unless called on the thread itself. Of two
    /// callers (the session's destructor and the stop at exit) one joins; the thread may call
    /// it itself meanwhile, so no lock is held while joining.
    void shutdown() {
        invalidate(true);
        std::thread thread;
        {
            std::lock_guard g(joining_);
            thread = std::move(thread_);
        }
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id()) {
            // Ends once its transfers are cancelled; exit waits a moment for it.
            finishing_ = ExitStop::finisher();
            thread.detach();
        } else {
            thread.join();
        }
    }

    void invalidate(bool cancelRunning) {
        {
            std::lock_guard g(mutex_);
            invalidated_ = true;
            if (cancelRunning) cancelAll_ = true;
        }
        wake();
    }

    bool isInvalidated() const {
        std::lock_guard g(mutex_);
        return invalidated_;
    }

    std::uint64_t nextIdentifier() { return nextId_.fetch_add(1) + 1; }

    /// Queues a command for the thread; false when the session no longer accepts tasks.
    bool submit(Command command, std::shared_ptr<CurlTask> task) {
        {
            std::lock_guard g(mutex_);
            if (command == Command::add && invalidated_) return false;
            if (threadDone_) return false;
            commands_.emplace_back(command, std::move(task));
        }
        wake();
        return true;
    }

    std::shared_ptr<URLSessionDelegate> delegate() const {
        std::lock_guard g(mutex_);
        return delegate_;
    }

    /// Hands a delegate-queue task to the thread; false once the thread no longer takes any.
    bool post(Task& task) {
        {
            std::lock_guard g(mutex_);
            if (tasksClosed_) return false;
            tasks_.push_back(std::move(task));
        }
        if (!onThread()) wake();
        return true;
    }

    bool onThread() const { return tlsEngine == this; }

    /// Reports a completion on the delegate queue; the callbacks move there so that whatever
    /// they hold is released on that queue. A task reporting to the delegate gets, in the same
    /// post, its head (`pendingHead`) and the body bytes not yet delivered (`data`).
    void complete(const std::shared_ptr<CurlTask>& task, std::optional<HTTPURLResponse> response, std::optional<std::string> data,
                  std::optional<std::string> filePath, std::optional<URLError> error,
                  std::optional<HTTPURLResponse> pendingHead = std::nullopt) {
        if (!task->markCompleted()) return;
        if (task->reportsToCompletion()) {
            queue->async([task, dataDone = std::move(task->dataCompletion), downloadDone = std::move(task->downloadCompletion),
                          response = std::move(response), data = std::move(data), filePath = std::move(filePath),
                          error = std::move(error)]() mutable {
                if (dataDone) {
                    dataDone(error ? std::nullopt : std::move(data), std::move(response), std::move(error));
                } else if (downloadDone) {
                    std::optional<std::filesystem::path> location;
                    if (filePath && !error) location = std::filesystem::path(*filePath);
                    downloadDone(location, std::move(response), std::move(error));
                }
                if (filePath) {
                    std::error_code ignored;
                    std::filesystem::remove(*filePath, ignored);
                }
            });
            return;
        }
        queue->async([task, delegate = delegate(), head = std::move(pendingHead), body = std::move(data), error = std::move(error)] {
            if (!delegate) return;
            if (head) delegate->didReceiveResponse(*task, *head);
            if (body && !body->empty()) delegate->didReceiveData(*task, *body);
            delegate->didComplete(*task, error);
        });
    }

    const SessionConfiguration configuration;
    const QueuePtr queue;

private:
    void wake() {
        if (multi_) curl_multi_wakeup(multi_);
    }

    /// Runs the delegate-queue tasks handed over so far, and those they hand over in turn.
    void runTasks() {
        for (;;) {
            std::vector<Task> batch;
            {
                std::lock_guard g(mutex_);
                batch.swap(tasks_);
            }
            if (batch.empty()) return;
            for (auto& task : batch) {
                try {
                    task();
                } catch (...) {
                    // A delegate's failure must not end the session's thread.
                }
            }
        }
    }

    void run() {
        tlsEngine = this;
        for (;;) {
            runTasks();
            std::vector<std::pair<Command, std::shared_ptr<CurlTask>>> commands;
            bool cancelAll = false;
            bool invalidated = false;
            {
                std::lock_guard g(mutex_);
                commands.swap(commands_);
                cancelAll = cancelAll_;
                invalidated = invalidated_;
            }
            for (auto& [command, task] : commands) {
                if (command == Command::add) {
                    add(task);
                } else {
                    finishTask(task, URLErrorCode::cancelled, "");
                }
            }
            if (cancelAll) {
                while (!transfers_.empty()) finish(transfers_.begin()->first, URLErrorCode::cancelled, "");
            }
            if (invalidated && transfers_.empty()) break;

            int running = 0;
            curl_multi_perform(multi_, &running);
            readCompletions();
            runTasks();
            const int waitMs = expireIdleTransfers();
            curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr);
        }
        std::vector<std::pair<Command, std::shared_ptr<CurlTask>>> leftover;
        std::shared_ptr<URLSessionDelegate> delegate;
        {
            std::lock_guard g(mutex_);
            threadDone_ = true;
            leftover.swap(commands_);
            delegate.swap(delegate_);
        }
        for (auto& [command, task] : leftover) {
            complete(task, std::nullopt, std::nullopt, std::nullopt, URLError{URLErrorCode::cancelled, task->originalRequest().description(), ""});
        }
        if (delegate) {
            queue->async([delegate] { delegate->didBecomeInvalid(std::nullopt); });
        }
        runTasks();
        std::vector<Task> late;
        {
            std::lock_guard g(mutex_);
            tasksClosed_ = true;
            late.swap(tasks_);
        }
        // Handed over between the last turn and the close: they go on the fallback queue, in order.
        for (auto& task : late) queue->async(std::move(task));
        tlsEngine = nullptr;
        finishing_.reset();  // set on this thread only, by a shutdown it ran itself
    }

    void readCompletions() {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            const CURLcode code = msg->data.result;
            auto it = transfers_.find(easy);
            if (it == transfers_.end()) continue;
            Transfer& t = *it->second;
            if (code == CURLE_OK) {
                finish(easy, std::nullopt, "");
            } else {
                URLErrorCode kind = urlErrorCodeFor(code);
                if (code == CURLE_WRITE_ERROR && t.writeFailed) kind = URLErrorCode::cannotWriteToFile;
                if (code == CURLE_WRITE_ERROR && t.tooLarge) kind = URLErrorCode::dataLengthExceedsMaximum;
                if (code == CURLE_UNSUPPORTED_PROTOCOL && answeredBadly(t)) kind = URLErrorCode::badServerResponse;
                finish(easy, kind, t.errorBuffer[0] ? t.errorBuffer : curl_easy_strerror(code));
            }
        }
    }

    /// curl reports an answer it cannot read as HTTP (a broken status line, HTTP/0.9) as an
    /// unsupported protocol: true when that came from a peer we reached, not from the URL itself
    /// or a redirection to another scheme.
    static bool answeredBadly(Transfer& t) {
        if (t.head.status() >= 300 && t.head.status() < 400) return false;
        char* ip = nullptr;
        curl_easy_getinfo(t.easy, CURLINFO_PRIMARY_IP, &ip);
        return ip && *ip;
    }

    /// Fails transfers idle past their timeout; returns how long the thread may sleep.
    int expireIdleTransfers() {
        const auto now = SteadyClock::now();
        std::vector<CURL*> expired;
        auto wait = std::chrono::milliseconds(60'000);
        for (auto& [easy, t] : transfers_) {
            const auto deadline = t->lastActivity + t->idleTimeout;
            if (deadline <= now) {
                expired.push_back(easy);
            } else {
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
            }
        }
        for (CURL* easy : expired) finish(easy, URLErrorCode::timedOut, "no data for the request's timeout interval");
        if (!expired.empty()) wait = std::chrono::milliseconds(0);
        return static_cast<int>(wait.count());
    }

    void finishTask(const std::shared_ptr<CurlTask>& task, URLErrorCode code, const std::string& detail) {
        for (auto& [easy, t] : transfers_) {
            if (t->task == task) {
                finish(easy, code, detail);
                return;
            }
        }
        complete(task, task->response(), std::nullopt, std::nullopt, URLError{code, task->originalRequest().description(), detail});
    }

    void finish(CURL* easy, std::optional<URLErrorCode> code, const std::string& detail) {
        auto node = transfers_.extract(easy);
        if (node.empty()) return;
        auto t = std::move(node.mapped());
        curl_multi_remove_handle(multi_, easy);
        if (!code) deliverHeadIfNeeded(*t);
        if (t->file) {
            if (std::fflush(t->file) != 0) code = URLErrorCode::cannotWriteToFile;
            std::fclose(t->file);
            t->file = nullptr;
        }
        std::optional<URLError> error;
        if (code) error = URLError{*code, t->task->originalRequest().description(), detail};
        std::optional<std::string> path;
        if (!t->filePath.empty()) path = t->filePath;
        complete(t->task, t->task->response(), std::move(t->received), std::move(path), std::move(error), std::move(t->pendingHead));
    }

    void add(const std::shared_ptr<CurlTask>& task) {
        const URLRequest& request = task->originalRequest();
        if (!request.url) {
            complete(task, std::nullopt, std::nullopt, std::nullopt, URLError{URLErrorCode::badURL, "", "the request has no URL"});
            return;
        }
        auto t = std::make_unique<Transfer>();
        t->task = task;
        t->engine = this;
        t->url = request.url->absoluteString();
        t->easy = curl_easy_init();
        if (!t->easy) {
            complete(task, std::nullopt, std::nullopt, std::nullopt, URLError{URLErrorCode::unknown, t->url, "curl_easy_init failed"});
            return;
        }
        if (task->kind() == URLSessionTask::Kind::download) {
            std::error_code noDir;
            const auto dir = std::filesystem::temp_directory_path(noDir);
            std::string pattern = (dir.empty() ? std::string("/tmp") : dir.string()) + "/kiv-download-XXXXXX";
            const int fd = ::mkstemp(pattern.data());
            if (fd >= 0) t->file = ::fdopen(fd, "wb");
            if (!t->file) {
                if (fd >= 0) ::close(fd);
                complete(task, std::nullopt, std::nullopt, std::nullopt, URLError{URLErrorCode::cannotCreateFile, t->url, pattern});
                return;
            }
            t->filePath = pattern;
        }
        configure(*t, request);
        t->lastActivity = SteadyClock::now();
        CURL* easy = t->easy;
        transfers_.emplace(easy, std::move(t));
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            finish(easy, URLErrorCode::unknown, "curl_multi_add_handle failed");
        }
    }

    void configure(Transfer& t, const URLRequest& request) {
        CURL* e = t.easy;
        curl_easy_setopt(e, CURLOPT_URL, t.url.c_str());
        curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy_.c_str());
        // Decode every encoding curl knows; a request's own Accept-Encoding still goes out as written.
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
        const long maxRedirects = configuration.maximumRedirects;
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, maxRedirects > 0 ? 1L : 0L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, maxRedirects);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Engine::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Engine::onBody);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Engine::onProgress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        // Refuses at once what announces more; the body callback counts what decoding makes.
        if (configuration.maximumResponseSize > 0) {
            curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(configuration.maximumResponseSize));
        }

        double timeout = request.timeoutInterval;
        if (timeout == URLRequest::defaultTimeoutInterval) timeout = configuration.timeoutIntervalForRequest;
        if (!std::isfinite(timeout) || timeout <= 0) timeout = URLRequest::defaultTimeoutInterval;
        t.idleTimeout = secondsToDuration(timeout);
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(std::min(timeout, 1e6) * 1000)));

        const std::string method = request.method();
        if (request.httpBody) {
            t.body = *request.httpBody;
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.body.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, t.body.c_str());
            if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (method == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else if (method != "GET") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        HTTPHeaderFields fields = configuration.httpAdditionalHeaders;
        for (const auto& [name, value] : request.headers) fields.set(name, value);
        if (configuration.httpShouldSetCookies && configuration.httpCookieStorage && !fields.contains("Cookie")) {
            std::string cookie;
            for (const auto& c : configuration.httpCookieStorage->cookies(*request.url)) {
                if (!cookie.empty()) cookie += "; ";
                cookie += c.name + "=" + c.value;
            }
            if (!cookie.empty()) fields.set("Cookie", cookie);
        }
        for (const auto& [name, value] : fields) {
            // "Name;" sends a field with an empty value; "Name:" would remove it.
            const std::string line = value.empty() ? name + ";" : name + ": " + value;
            t.headerList = curl_slist_append(t.headerList, line.c_str());
        }
        // curl's own additions that a caller did not ask for.
        if (!fields.contains("Expect")) t.headerList = curl_slist_append(t.headerList, "Expect:");
        if (request.httpBody && !fields.contains("Content-Type")) t.headerList = curl_slist_append(t.headerList, "Content-Type:");
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);

        if (configuration.urlCredentialStorage) {
            const auto& url = *request.url;
            ProtectionSpace space{url.host(), url.port().value_or(0), url.scheme(), url.host()};
            const auto credentials = configuration.urlCredentialStorage->credentials(space);
            if (!credentials.empty()) {
                curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
                curl_easy_setopt(e, CURLOPT_USERNAME, credentials.front().user.c_str());
                curl_easy_setopt(e, CURLOPT_PASSWORD, credentials.front().password.c_str());
            }
        }
    }

    // The head is complete: hand it on, unless it is an interim or a followed redirection.
    static void endOfHead(Transfer& t) {
        Engine& self = *t.engine;
        const int status = t.head.status();
        if (status >= 100 && status < 200) return;
        const bool redirect = status >= 300 && status < 400 && t.head.headers().contains("Location") &&
                              t.redirects < self.configuration.maximumRedirects;
        if (redirect) {
            ++t.redirects;
            HTTPURLResponse response = self.headFrom(t);
            URLRequest newRequest = t.task->originalRequest();
            const auto base = response.url ? response.url : URL::make(t.url);
            newRequest.url = base ? base->resolved(*t.head.headers().value("Location")) : std::nullopt;
            if (!t.task->reportsToCompletion()) {
                self.queue->async([task = t.task, delegate = self.delegate(), response, newRequest] {
                    if (delegate) delegate->willPerformHTTPRedirection(*task, response, newRequest);
                });
            }
            return;
        }
        self.deliverHead(t);
    }

    HTTPURLResponse headFrom(Transfer& t) {
        if (t.redirects == 0) return t.head.response(t.task->originalRequest().url);
        char* effective = nullptr;
        curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &effective);
        return t.head.response(effective ? URL::make(effective) : std::nullopt);
    }

    void deliverHead(Transfer& t) {
        if (t.headDelivered) return;
        t.headDelivered = true;
        HTTPURLResponse response = headFrom(t);
        t.task->setResponse(response);
        // Posted with the body or the completion, whichever comes first.
        if (!t.task->reportsToCompletion()) t.pendingHead = std::move(response);
    }

    /// Posts the held head and body bytes of a transfer that goes on.
    void flush(Transfer& t) {
        queue->async([task = t.task, delegate = delegate(), head = std::exchange(t.pendingHead, std::nullopt),
                      chunk = std::exchange(t.received, std::string())] {
            if (!delegate) return;
            if (head) delegate->didReceiveResponse(*task, *head);
            if (!chunk.empty()) delegate->didReceiveData(*task, chunk);
        });
    }

    void deliverHeadIfNeeded(Transfer& t) {
        if (t.headDelivered) return;
        long code = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
        if (code <= 0) return;
        if (t.head.status() == 0) t.head.setStatus(static_cast<int>(code));
        deliverHead(t);
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto& t = *static_cast<Transfer*>(user);
        const std::string_view line(data, size * count);
        t.lastActivity = SteadyClock::now();
        const auto read = t.head.read(line);
        if (read == CurlResponseHead::Line::status) {
            t.headDelivered = false;
        } else if (read == CurlResponseHead::Line::end) {
            endOfHead(t);
        }
        return size * count;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto& t = *static_cast<Transfer*>(user);
        const std::size_t n = size * count;
        Engine& self = *t.engine;
        t.lastActivity = SteadyClock::now();
        const auto limit = self.configuration.maximumResponseSize;
        t.bodyBytes += static_cast<std::int64_t>(n);
        if (limit > 0 && t.bodyBytes > limit) {
            t.tooLarge = true;
            return 0;
        }
        self.deliverHeadIfNeeded(t);
        t.task->addReceived(n, !t.anyBody);
        t.anyBody = true;
        if (t.file) {
            if (std::fwrite(data, 1, n, t.file) != n) {
                t.writeFailed = true;
                return 0;
            }
            return n;
        }
        t.received.append(data, n);
        // A delegate gets the body in large pieces: one post per piece, not per read.
        if (!t.task->reportsToCompletion() && t.received.size() >= kDelegateChunkBytes) self.flush(t);
        return n;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto& t = *static_cast<Transfer*>(user);
        if (dlnow != t.lastDown || ulnow != t.lastUp) {
            t.lastDown = dlnow;
            t.lastUp = ulnow;
            t.lastActivity = SteadyClock::now();
        }
        return 0;
    }

    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::mutex joining_;
    ExitStop::Handle exitStop_;
    ExitStop::Handle finishing_;  // while the detached thread ends
    mutable std::mutex mutex_;
    std::vector<std::pair<Command, std::shared_ptr<CurlTask>>> commands_;
    bool invalidated_ = false;
    bool cancelAll_ = false;
    bool threadDone_ = false;
    std::vector<Task> tasks_;
    bool tasksClosed_ = false;
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::atomic<std::uint64_t> nextId_{0};
    const std::string noProxy_;
    // Owned by the thread.
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> transfers_;

    friend class CurlTask;
};

void SessionThreadQueue::async(Task task) {
    if (auto engine = engine_.lock(); engine && engine->post(task)) return;
    fallback_->async(std::move(task));
}

bool SessionThreadQueue::isCurrent() const {
    if (auto engine = engine_.lock(); engine && engine->onThread()) return true;
    return fallback_->isCurrent();
}

void CurlTask::resume() {
    {
        std::lock_guard g(mutex_);
        if (state_ != State::suspended) return;
        state_ = State::running;
    }
    auto engine = engine_.lock();
    if (engine && engine->submit(CurlURLSession::Engine::Command::add, self())) return;
    // The session is gone or invalidated: the task ends at once.
    {
        std::lock_guard g(mutex_);
        state_ = State::suspended;
    }
    if (engine) {
        engine->complete(self(), std::nullopt, std::nullopt, std::nullopt,
                         URLError{URLErrorCode::cancelled, request_.description(), "the session was invalidated"});
    }
}

void CurlTask::cancel() {
    auto engine = engine_.lock();
    State previous;
    {
        std::lock_guard g(mutex_);
        previous = state_;
        if (state_ == State::running) state_ = State::canceling;
    }
    if (!engine || previous == State::completed || previous == State::canceling) return;
    if (previous == State::running && engine->submit(CurlURLSession::Engine::Command::cancel, self())) return;
    engine->complete(self(), std::nullopt, std::nullopt, std::nullopt, URLError{URLErrorCode::cancelled, request_.description(), ""});
}

CurlURLSession::CurlURLSession(SessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate, RuntimePtr runtime) {
    auto queue = std::make_shared<SessionThreadQueue>(runtime->makeSerialQueue("kiv.urlsession.delegate"));
    engine_ = std::make_shared<Engine>(std::move(configuration), std::move(delegate), queue);
    queue->attach(engine_);
    engine_->start();
}

CurlURLSession::~CurlURLSession() { engine_->shutdown(); }

const SessionConfiguration& CurlURLSession::configuration() const { return engine_->configuration; }
QueuePtr CurlURLSession::delegateQueue() const { return engine_->queue; }

URLSessionTaskPtr CurlURLSession::dataTask(URLRequest request, std::weak_ptr<URLSessionTaskDelegate> taskDelegate) {
    return std::make_shared<CurlTask>(engine_, engine_->nextIdentifier(), URLSessionTask::Kind::data, std::move(request), nullptr,
                                      nullptr, std::move(taskDelegate));
}

URLSessionTaskPtr CurlURLSession::dataTask(URLRequest request, DataCompletion completion) {
    return std::make_shared<CurlTask>(engine_, engine_->nextIdentifier(), URLSessionTask::Kind::data, std::move(request),
                                      std::move(completion), nullptr);
}

URLSessionTaskPtr CurlURLSession::downloadTask(URLRequest request, DownloadCompletion completion) {
    return std::make_shared<CurlTask>(engine_, engine_->nextIdentifier(), URLSessionTask::Kind::download, std::move(request),
                                      nullptr, std::move(completion));
}

void CurlURLSession::invalidateAndCancel() { engine_->invalidate(true); }
void CurlURLSession::finishTasksAndInvalidate() { engine_->invalidate(false); }

}  // namespace kiv::platform
