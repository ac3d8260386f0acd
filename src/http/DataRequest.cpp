#include "kiv/http/DataRequest.hpp"

#include <nlohmann/json.hpp>

namespace kiv::http {

std::shared_ptr<DataRequest> DataRequest::make(std::shared_ptr<platform::URLSession> session,
                                               std::optional<platform::URLRequest> originalRequest, platform::URLSessionTaskPtr task,
                                               platform::QueuePtr operationTarget, platform::QueuePtr completionQueue,
                                               TaskDelegate::Clock clock) {
    auto delegate = std::make_shared<DataTaskDelegate>(std::move(task), std::move(operationTarget), clock);
    std::shared_ptr<DataRequest> request(
        new DataRequest(std::move(session), std::move(originalRequest), delegate, std::move(completionQueue), std::move(clock)));
    // The first operation records when the transfer ended. A weak reference: the queue must not
    // keep its own request alive.
    delegate->queue().addOperation([weak = std::weak_ptr<DataRequest>(request)] {
        if (auto r = weak.lock()) r->recordEndTime();
    });
    return request;
}

std::shared_ptr<DataTaskDelegate> DataRequest::dataDelegate() const { return std::static_pointer_cast<DataTaskDelegate>(delegate()); }

Progress DataRequest::progress() const { return dataDelegate()->progress(); }

void DataRequest::appendResponseOperation(platform::QueuePtr queue, ResponseOperation operation) {
    auto self = std::static_pointer_cast<DataRequest>(shared_from_this());
    auto target = queue ? std::move(queue) : completionQueue();
    delegate()->queue().addOperation([self, operation = std::move(operation), target] {
        const auto d = self->dataDelegate();
        DefaultDataResponse raw{self->request(), self->response(), d->data(), d->error(), Timeline{}, nullptr};
        operation(raw, [self] { return self->timeline(); }, target);
    });
}

DataRequest& DataRequest::responseJSON(std::function<void(const DataResponse<nlohmann::json>&)> completionHandler,
                                       platform::QueuePtr queue, JSONReadingOptions options) {
    return response<nlohmann::json>(std::move(queue), jsonResponseSerializer(options), std::move(completionHandler));
}

DataRequest& DataRequest::response(std::function<void(const DefaultDataResponse&)> completionHandler, platform::QueuePtr queue) {
    appendResponseOperation(std::move(queue), [completionHandler = std::move(completionHandler)](
                                                  const DefaultDataResponse& raw, const std::function<Timeline()>& timelineNow,
                                                  const platform::QueuePtr& target) {
        DefaultDataResponse response = raw;
        response.timeline = timelineNow();
        target->async([completionHandler, response = std::move(response)] {
            try {
                if (completionHandler) completionHandler(response);
            } catch (...) {
                log::warning("DataRequest", "response handler threw");
            }
        });
    });
    return *this;
}

DataRequest& DataRequest::stream(std::function<void(const std::string&)> stream) {
    dataDelegate()->dataStream = std::move(stream);
    return *this;
}

DataRequest& DataRequest::downloadProgress(std::function<void(const Progress&)> handler, platform::QueuePtr queue) {
    auto d = dataDelegate();
    d->progressQueue = queue ? std::move(queue) : completionQueue();
    d->progressHandler = std::move(handler);
    return *this;
}

}  // namespace kiv::http
