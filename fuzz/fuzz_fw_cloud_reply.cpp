// A cloud reply body, as a hostile or broken service could send it: the response is always made, and its
// code is 229999 (no usable reply), a service code above 200000, or the service's own zero or negative code.
#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cloud/QVInterfaceManage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QVNasResponseInfoPtr info = QVInterfaceManage::replyResponseInfo(body);
    if (!info) std::abort();
    const int64_t code = info->responseCode;
    if (code != QVInterfaceManage::kNoReply && code > 0 && code <= QVInterfaceManage::kServiceBase)
        std::abort();
    if (info->clientCommand != 0) std::abort();
    return 0;
}
