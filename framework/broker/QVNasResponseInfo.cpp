#include "broker/QVNasResponseInfo.h"

#include "model/ModelDescription.h"

QString QVNasResponseInfo::debugDescription() const {
    QString data;
    if (responseData.isValid()) {
        data = responseData.canConvert<QString>() ? responseData.toString()
                                                  : QString::fromLatin1(responseData.typeName());
    }
    return qvmodel::describe("QVNasResponseInfo", this,
                             {{"clientCommand", QString::number(static_cast<uint32_t>(clientCommand))},
                              {"responseCode", QString::number(responseCode)},
                              {"responseMessage", responseMessage},
                              {"responseData", data}});
}

QDebug operator<<(QDebug d, const QVNasResponseInfo &info) {
    return d.noquote() << info.debugDescription();
}
