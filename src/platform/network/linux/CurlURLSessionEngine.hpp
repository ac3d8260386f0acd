#pragma once
// The thread of a curl URL session and the multi handle it drives.

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/network/linux/CurlEasyOptions.hpp"
#include "platform/network/linux/CurlTransfer.hpp"
#include "platform/network/linux/CurlURLSession.hpp"
#include "platform/runtime/ExitStop.hpp"

namespace kiv::platform {

class CurlTask;

/// Owns the multi handle and its thread, which sleeps in curl_multi_poll until a socket, a curl
/// timer, an idle deadline or curl_multi_wakeup needs it. Other threads hand it commands (start
/// or cancel a task) and delegate-queue tasks; it runs both between its turns of the transfers.
/// Thread: the public members are safe from any thread; the transfers belong to the session thread.
struct CurlURLSession::Engine : std::enable_shared_from_this<CurlURLSession::Engine> {
    enum class Command { add, cancel };

    Engine(SessionConfiguration c, std::shared_ptr<URLSessionDelegate> d, QueuePtr q);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void start();
    /// Stops the thread: cancels what runs; joins unless called on the thread itself. Of two
    /// callers (the session's destructor and the stop at exit) one joins; the thread may call
    /// it itself meanwhile, so no lock is held while joining.
    void shutdown();
    void invalidate(bool cancelRunning);
    bool isInvalidated() const;
    std::uint64_t nextIdentifier() { return nextId_.fetch_add(1) + 1; }
    /// Queues a command for the thread; false when the session no longer accepts tasks.
    bool submit(Command command, std::shared_ptr<CurlTask> task);
    std::shared_ptr<URLSessionDelegate> delegate() const;
    /// Hands a delegate-queue task to the thread; false once the thread no longer takes any.
    bool post(Task& task);
    bool onThread() const;

    /// Reports a completion on the delegate queue; the callbacks move there so that whatever
    /// they hold is released on that queue. A task reporting to the delegate gets, in the same
    /// post, its head (`pendingHead`) and the body bytes not yet delivered (`data`).
    void complete(const std::shared_ptr<CurlTask>& task, std::optional<HTTPURLResponse> response,
                  std::optional<std::string> data, std::optional<std::string> filePath, std::optional<URLError> error,
                  std::optional<HTTPURLResponse> pendingHead = std::nullopt);

    const SessionConfiguration configuration;
    const QueuePtr queue;

private:
    using Commands = std::vector<std::pair<Command, std::shared_ptr<CurlTask>>>;

    void wake();
    void runTasks();
    void run();
    bool carryOutCommands();
    void endThread();
    void readCompletions();
    int expireIdleTransfers();
    void finishTask(const std::shared_ptr<CurlTask>& task, URLErrorCode code, const std::string& detail);
    void finish(CURL* easy, std::optional<URLErrorCode> code, const std::string& detail);
    void add(const std::shared_ptr<CurlTask>& task);

    const CurlEasyOptions options_;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::mutex joining_;
    ExitStop::Handle exitStop_;
    ExitStop::Handle finishing_;  // while the detached thread ends
    mutable std::mutex mutex_;
    Commands commands_;
    bool invalidated_ = false;
    bool cancelAll_ = false;
    bool threadDone_ = false;
    std::vector<Task> tasks_;
    bool tasksClosed_ = false;
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::atomic<std::uint64_t> nextId_{0};
    // Owned by the thread.
    std::unordered_map<CURL*, std::unique_ptr<CurlTransfer>> transfers_;
};

}  // namespace kiv::platform
