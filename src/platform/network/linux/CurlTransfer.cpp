#include "platform/network/linux/CurlTransfer.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/network/linux/CurlErrors.hpp"
#include "platform/network/linux/CurlTask.hpp"
#include "platform/network/linux/CurlURLSessionEngine.hpp"

namespace kiv::platform {

namespace {

// What a delegate-reporting task holds back before it posts a piece of its body.
constexpr std::size_t kDelegateChunkBytes = 256 * 1024;

}  // namespace

CurlTransfer::~CurlTransfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headerList) curl_slist_free_all(headerList);
    if (file) std::fclose(file);
}

bool CurlTransfer::openDownloadFile() {
    std::error_code noDir;
    const auto dir = std::filesystem::temp_directory_path(noDir);
    filePath = (dir.empty() ? std::string("/tmp") : dir.string()) + "/kiv-download-XXXXXX";
    const int fd = ::mkstemp(filePath.data());
    if (fd >= 0) file = ::fdopen(fd, "wb");
    if (!file && fd >= 0) ::close(fd);
    return file != nullptr;
}

URLErrorCode CurlTransfer::errorCodeFor(CURLcode code) const {
    URLErrorCode kind = urlErrorCodeFor(code);
    if (code == CURLE_WRITE_ERROR && writeFailed) kind = URLErrorCode::cannotWriteToFile;
    if (code == CURLE_WRITE_ERROR && tooLarge) kind = URLErrorCode::dataLengthExceedsMaximum;
    if (code == CURLE_UNSUPPORTED_PROTOCOL && answeredBadly()) kind = URLErrorCode::badServerResponse;
    return kind;
}

/// curl reports an answer it cannot read as HTTP (a broken status line, HTTP/0.9) as an
/// unsupported protocol: true when that came from a peer we reached, not from the URL itself
/// or a redirection to another scheme.
bool CurlTransfer::answeredBadly() const {
    if (head.status() >= 300 && head.status() < 400) return false;
    char* ip = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip);
    return ip && *ip;
}

std::size_t CurlTransfer::onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<CurlTransfer*>(user)->readHeaderLine(std::string_view(data, size * count));
    return size * count;
}

std::size_t CurlTransfer::onBody(char* data, std::size_t size, std::size_t count, void* user) {
    return static_cast<CurlTransfer*>(user)->readBody(data, size * count);
}

int CurlTransfer::onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto& t = *static_cast<CurlTransfer*>(user);
    if (dlnow != t.lastDown || ulnow != t.lastUp) {
        t.lastDown = dlnow;
        t.lastUp = ulnow;
        t.lastActivity = SteadyClock::now();
    }
    return 0;
}

void CurlTransfer::readHeaderLine(std::string_view line) {
    lastActivity = SteadyClock::now();
    const auto read = head.read(line);
    if (read == CurlResponseHead::Line::status) {
        headDelivered = false;
    } else if (read == CurlResponseHead::Line::end) {
        endOfHead();
    }
}

std::size_t CurlTransfer::readBody(const char* data, std::size_t n) {
    lastActivity = SteadyClock::now();
    const auto limit = engine->configuration.maximumResponseSize;
    bodyBytes += static_cast<std::int64_t>(n);
    if (limit > 0 && bodyBytes > limit) {
        tooLarge = true;
        return 0;
    }
    deliverHeadIfNeeded();
    task->addReceived(n, !anyBody);
    anyBody = true;
    if (file) {
        if (std::fwrite(data, 1, n, file) != n) {
            writeFailed = true;
            return 0;
        }
        return n;
    }
    received.append(data, n);
    // A delegate gets the body in large pieces: one post per piece, not per read.
    if (!task->reportsToCompletion() && received.size() >= kDelegateChunkBytes) flush();
    return n;
}

// The head is complete: hand it on, unless it is an interim or a followed redirection.
void CurlTransfer::endOfHead() {
    const int status = head.status();
    if (status >= 100 && status < 200) return;
    if (status >= 300 && status < 400 && head.headers().contains("Location") &&
        redirects < engine->configuration.maximumRedirects) {
        followRedirect();
        return;
    }
    deliverHead();
}

/// Counts a redirection curl follows and tells the task's delegate where it leads.
void CurlTransfer::followRedirect() {
    ++redirects;
    if (task->reportsToCompletion()) return;
    HTTPURLResponse redirection = response();
    URLRequest newRequest = task->originalRequest();
    const auto base = redirection.url ? redirection.url : URL::make(url);
    newRequest.url = base ? base->resolved(*head.headers().value("Location")) : std::nullopt;
    engine->queue->async([task = task, delegate = engine->delegate(), redirection = std::move(redirection),
                          newRequest = std::move(newRequest)] {
        if (delegate) delegate->willPerformHTTPRedirection(*task, redirection, newRequest);
    });
}

HTTPURLResponse CurlTransfer::response() const {
    if (redirects == 0) return head.response(task->originalRequest().url);
    char* effective = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
    return head.response(effective ? URL::make(effective) : std::nullopt);
}

void CurlTransfer::deliverHead() {
    if (headDelivered) return;
    headDelivered = true;
    HTTPURLResponse delivered = response();
    task->setResponse(delivered);
    // Posted with the body or the completion, whichever comes first.
    if (!task->reportsToCompletion()) pendingHead = std::move(delivered);
}

void CurlTransfer::deliverHeadIfNeeded() {
    if (headDelivered) return;
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    if (code <= 0) return;
    if (head.status() == 0) head.setStatus(static_cast<int>(code));
    deliverHead();
}

/// Posts the held head and body bytes of a transfer that goes on.
void CurlTransfer::flush() {
    engine->queue->async([task = task, delegate = engine->delegate(), held = std::exchange(pendingHead, std::nullopt),
                          chunk = std::exchange(received, std::string())] {
        if (!delegate) return;
        if (held) delegate->didReceiveResponse(*task, *held);
        if (!chunk.empty()) delegate->didReceiveData(*task, chunk);
    });
}

}  // namespace kiv::platform
