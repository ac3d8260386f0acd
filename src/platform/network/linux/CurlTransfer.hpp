#pragma once
// One task's request on a curl easy handle, and what curl's callbacks make of the answer.

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/network/URLError.hpp"
#include "kiv/platform/runtime/Queue.hpp"
#include "platform/network/linux/CurlResponseHead.hpp"
#include "platform/network/linux/CurlURLSession.hpp"

namespace kiv::platform {

class CurlTask;

/// The easy handle of one task and the state of its answer. curl's header, body and progress
/// callbacks write here; what the task's delegate hears goes to the session's delegate queue.
/// Thread: the session thread.
struct CurlTransfer {
    CurlTransfer() = default;
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

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

    /// Opens the temporary file a download writes to and names it in `filePath`; false when it cannot.
    bool openDownloadFile();
    /// Hands on the head once the body or the end of the answer shows it is the final one.
    void deliverHeadIfNeeded();
    /// What the task failed with when curl ended the transfer with `code`.
    URLErrorCode errorCodeFor(CURLcode code) const;

    // curl's callbacks; their user pointer is the transfer.
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user);
    static int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow);

private:
    void readHeaderLine(std::string_view line);
    std::size_t readBody(const char* data, std::size_t n);
    void endOfHead();
    void followRedirect();
    HTTPURLResponse response() const;
    void deliverHead();
    void flush();
    bool answeredBadly() const;
};

}  // namespace kiv::platform
