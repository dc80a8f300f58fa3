#include "service/QVNasServiceAnswer.h"

#include "platform/MainQueue.h"

QVNasRequestInfoPtr qvNasAnswerNotAvailable(int32_t command, QVNasCompletionBlock completion) {
    auto request = std::make_shared<QVNasRequestInfo>();
    request->clientCommand = command;
    if (completion) {
        plat::MainQueue::post([command, completion = std::move(completion)] {
            auto r = std::make_shared<QVNasResponseInfo>();
            r->clientCommand = command;
            r->responseCode = kQVNasResponseCodeNotAvailable;
            r->responseMessage = QStringLiteral("operation not available");
            completion(r);
        });
    }
    return request;
}
