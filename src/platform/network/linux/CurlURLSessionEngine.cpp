#include "platform/network/linux/CurlURLSessionEngine.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "platform/network/linux/CurlTask.hpp"

namespace kiv::platform {

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

/// The engine whose thread is the calling one (each session thread runs one engine).
thread_local const CurlURLSession::Engine* tlsEngine = nullptr;

}  // namespace

CurlURLSession::Engine::Engine(SessionConfiguration c, std::shared_ptr<URLSessionDelegate> d, QueuePtr q)
    : configuration(std::move(c)), queue(std::move(q)), options_(configuration), delegate_(std::move(d)) {
    globalInit();
    multi_ = curl_multi_init();
}

CurlURLSession::Engine::~Engine() {
    exitStop_.reset();
    transfers_.clear();
    if (multi_) curl_multi_cleanup(multi_);
}

void CurlURLSession::Engine::start() {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
    exitStop_ = ExitStop::enroll([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->shutdown();
    });
}

void CurlURLSession::Engine::shutdown() {
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

void CurlURLSession::Engine::invalidate(bool cancelRunning) {
    {
        std::lock_guard g(mutex_);
        invalidated_ = true;
        if (cancelRunning) cancelAll_ = true;
    }
    wake();
}

bool CurlURLSession::Engine::isInvalidated() const {
    std::lock_guard g(mutex_);
    return invalidated_;
}

bool CurlURLSession::Engine::submit(Command command, std::shared_ptr<CurlTask> task) {
    {
        std::lock_guard g(mutex_);
        if (command == Command::add && invalidated_) return false;
        if (threadDone_) return false;
        commands_.emplace_back(command, std::move(task));
    }
    wake();
    return true;
}

std::shared_ptr<URLSessionDelegate> CurlURLSession::Engine::delegate() const {
    std::lock_guard g(mutex_);
    return delegate_;
}

bool CurlURLSession::Engine::post(Task& task) {
    {
        std::lock_guard g(mutex_);
        if (tasksClosed_) return false;
        tasks_.push_back(std::move(task));
    }
    if (!onThread()) wake();
    return true;
}

bool CurlURLSession::Engine::onThread() const { return tlsEngine == this; }

void CurlURLSession::Engine::complete(const std::shared_ptr<CurlTask>& task, std::optional<HTTPURLResponse> response,
                                      std::optional<std::string> data, std::optional<std::string> filePath,
                                      std::optional<URLError> error, std::optional<HTTPURLResponse> pendingHead) {
    if (!task->markCompleted()) return;
    if (task->reportsToCompletion()) {
        queue->async([task, dataDone = std::move(task->dataCompletion),
                      downloadDone = std::move(task->downloadCompletion), response = std::move(response),
                      data = std::move(data), filePath = std::move(filePath), error = std::move(error)]() mutable {
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
    queue->async(
        [task, delegate = delegate(), head = std::move(pendingHead), body = std::move(data), error = std::move(error)] {
            if (!delegate) return;
            if (head) delegate->didReceiveResponse(*task, *head);
            if (body && !body->empty()) delegate->didReceiveData(*task, *body);
            delegate->didComplete(*task, error);
        });
}

void CurlURLSession::Engine::wake() {
    if (multi_) curl_multi_wakeup(multi_);
}

/// Runs the delegate-queue tasks handed over so far, and those they hand over in turn.
void CurlURLSession::Engine::runTasks() {
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

void CurlURLSession::Engine::run() {
    tlsEngine = this;
    for (;;) {
        runTasks();
        if (!carryOutCommands()) break;
        int running = 0;
        curl_multi_perform(multi_, &running);
        readCompletions();
        runTasks();
        const int waitMs = expireIdleTransfers();
        curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr);
    }
    endThread();
    tlsEngine = nullptr;
    finishing_.reset();  // set on this thread only, by a shutdown it ran itself
}

/// Starts and cancels what other threads asked for; false once the session is invalidated and
/// has no transfer left, which ends the thread.
bool CurlURLSession::Engine::carryOutCommands() {
    Commands commands;
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
    return !(invalidated && transfers_.empty());
}

/// Cancels the commands that came too late, tells the delegate the session is invalid, and
/// leaves the delegate-queue tasks still to come to the fallback queue.
void CurlURLSession::Engine::endThread() {
    Commands leftover;
    std::shared_ptr<URLSessionDelegate> delegate;
    {
        std::lock_guard g(mutex_);
        threadDone_ = true;
        leftover.swap(commands_);
        delegate.swap(delegate_);
    }
    for (auto& [command, task] : leftover) {
        complete(task, std::nullopt, std::nullopt, std::nullopt,
                 URLError{URLErrorCode::cancelled, task->originalRequest().description(), ""});
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
}

void CurlURLSession::Engine::readCompletions() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        CURL* easy = msg->easy_handle;
        const CURLcode code = msg->data.result;
        auto it = transfers_.find(easy);
        if (it == transfers_.end()) continue;
        const CurlTransfer& t = *it->second;
        if (code == CURLE_OK) {
            finish(easy, std::nullopt, "");
        } else {
            finish(easy, t.errorCodeFor(code), t.errorBuffer[0] ? t.errorBuffer : curl_easy_strerror(code));
        }
    }
}

/// Fails transfers idle past their timeout; returns how long the thread may sleep.
int CurlURLSession::Engine::expireIdleTransfers() {
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

void CurlURLSession::Engine::finishTask(const std::shared_ptr<CurlTask>& task, URLErrorCode code,
                                        const std::string& detail) {
    for (auto& [easy, t] : transfers_) {
        if (t->task == task) {
            finish(easy, code, detail);
            return;
        }
    }
    complete(task, task->response(), std::nullopt, std::nullopt,
             URLError{code, task->originalRequest().description(), detail});
}

void CurlURLSession::Engine::finish(CURL* easy, std::optional<URLErrorCode> code, const std::string& detail) {
    auto node = transfers_.extract(easy);
    if (node.empty()) return;
    auto t = std::move(node.mapped());
    curl_multi_remove_handle(multi_, easy);
    if (!code) t->deliverHeadIfNeeded();
    if (t->file) {
        if (std::fflush(t->file) != 0) code = URLErrorCode::cannotWriteToFile;
        std::fclose(t->file);
        t->file = nullptr;
    }
    std::optional<URLError> error;
    if (code) error = URLError{*code, t->task->originalRequest().description(), detail};
    std::optional<std::string> path;
    if (!t->filePath.empty()) path = t->filePath;
    complete(t->task, t->task->response(), std::move(t->received), std::move(path), std::move(error),
             std::move(t->pendingHead));
}

void CurlURLSession::Engine::add(const std::shared_ptr<CurlTask>& task) {
    const URLRequest& request = task->originalRequest();
    if (!request.url) {
        complete(task, std::nullopt, std::nullopt, std::nullopt,
                 URLError{URLErrorCode::badURL, "", "the request has no URL"});
        return;
    }
    auto t = std::make_unique<CurlTransfer>();
    t->task = task;
    t->engine = this;
    t->url = request.url->absoluteString();
    t->easy = curl_easy_init();
    if (!t->easy) {
        complete(task, std::nullopt, std::nullopt, std::nullopt,
                 URLError{URLErrorCode::unknown, t->url, "curl_easy_init failed"});
        return;
    }
    if (task->kind() == URLSessionTask::Kind::download && !t->openDownloadFile()) {
        complete(task, std::nullopt, std::nullopt, std::nullopt,
                 URLError{URLErrorCode::cannotCreateFile, t->url, t->filePath});
        return;
    }
    options_.apply(*t, request);
    t->lastActivity = SteadyClock::now();
    CURL* easy = t->easy;
    transfers_.emplace(easy, std::move(t));
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        finish(easy, URLErrorCode::unknown, "curl_multi_add_handle failed");
    }
}

}  // namespace kiv::platform
