#pragma once
/// A request whose body arrives in memory, with response handlers that wait for completion.

#include <exception>
#include <functional>
#include <memory>

#include <nlohmann/json_fwd.hpp>

#include "kiv/Log.hpp"
#include "kiv/http/DataResponse.hpp"
#include "kiv/http/DataResponseSerializer.hpp"
#include "kiv/http/DataTaskDelegate.hpp"
#include "kiv/http/DefaultDataResponse.hpp"
#include "kiv/http/Request.hpp"

namespace kiv::http {

/// Thread: every member is safe from any thread. Handlers run one at a time, in the order
/// added, after the task completed; their callbacks are posted to the given queue (the
/// manager's completion queue, the main queue by default).
class KIV_EXPORT DataRequest final : public Request {
public:
    static std::shared_ptr<DataRequest> make(std::shared_ptr<platform::URLSession> session,
                                             std::optional<platform::URLRequest> originalRequest, platform::URLSessionTaskPtr task,
                                             platform::QueuePtr operationTarget, platform::QueuePtr completionQueue,
                                             TaskDelegate::Clock clock);

    using Request::response;
    std::shared_ptr<DataTaskDelegate> dataDelegate() const;
    Progress progress() const;

    /// Serializes what arrived with `serializer` and hands the response to `completionHandler`
    /// on `queue` (the completion queue when none).
    template <class Value>
    DataRequest& response(platform::QueuePtr queue, DataResponseSerializer<Value> serializer,
                          std::function<void(const DataResponse<Value>&)> completionHandler) {
        appendResponseOperation(std::move(queue), [serializer = std::move(serializer), completionHandler = std::move(completionHandler)](
                                                      const DefaultDataResponse& raw, const std::function<Timeline()>& timelineNow,
                                                      const platform::QueuePtr& target) {
            auto result = Result<Value>::failure(Error::custom("the response serializer failed"));
            try {
                if (serializer.serializeResponse) result = serializer.serializeResponse(raw.request, raw.response, raw.data, raw.error);
            } catch (const std::exception& e) {
                result = Result<Value>::failure(Error::custom(e.what()));
            } catch (...) {
            }
            DataResponse<Value> response{raw.request, raw.response, raw.data, std::move(result), timelineNow(), raw.metrics};
            target->async([completionHandler, response = std::move(response)] {
                try {
                    if (completionHandler) completionHandler(response);
                } catch (const std::exception& e) {
                    log::warning("DataRequest", "response handler threw:", e.what());
                } catch (...) {
                    log::warning("DataRequest", "response handler threw");
                }
            });
        });
        return *this;
    }

    /// The JSON response (fragments allowed by default).
    DataRequest& responseJSON(std::function<void(const DataResponse<nlohmann::json>&)> completionHandler,
                              platform::QueuePtr queue = nullptr, JSONReadingOptions options = {.allowFragments = true});
    /// The unserialized response.
    DataRequest& response(std::function<void(const DefaultDataResponse&)> completionHandler, platform::QueuePtr queue = nullptr);
    /// Hands each chunk to `stream` (on the session's delegate queue) instead of accumulating it.
    DataRequest& stream(std::function<void(const std::string&)> stream);
    /// Reports progress after each chunk on `queue` (the completion queue when none).
    DataRequest& downloadProgress(std::function<void(const Progress&)> handler, platform::QueuePtr queue = nullptr);

    using ResponseOperation =
        std::function<void(const DefaultDataResponse& raw, const std::function<Timeline()>& timelineNow, const platform::QueuePtr& target)>;
    /// Appends an operation that runs after completion with what arrived.
    void appendResponseOperation(platform::QueuePtr queue, ResponseOperation operation);

private:
    using Request::Request;
};

}  // namespace kiv::http
