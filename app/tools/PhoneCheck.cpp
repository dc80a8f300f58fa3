#include "tools/PhoneCheck.h"

#include <phonenumbers/phonenumber.pb.h>
#include <phonenumbers/phonenumberutil.h>

#include <QtGlobal>

bool PhoneCheck::isMobileNumber(const QString &number, int64_t areaCode) {
    using i18n::phonenumbers::PhoneNumber;
    using i18n::phonenumbers::PhoneNumberUtil;
    const PhoneNumberUtil *util = PhoneNumberUtil::GetInstance();
    const std::string text = QStringLiteral("+%1%2").arg(areaCode).arg(number).toStdString();
    PhoneNumber parsed;
    const auto err = util->Parse(text, "ZZ", &parsed);  // "ZZ": no default region
    if (err != PhoneNumberUtil::NO_PARSING_ERROR) {
        qWarning("Mobile Number Error : parse error %d", static_cast<int>(err));
        return false;
    }
    return util->IsValidNumber(parsed);
}
