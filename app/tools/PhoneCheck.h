// Mobile numbers checked with libphonenumber: "+<area code><number>" parsed without a default region.
#pragma once

#include <QString>
#include <cstdint>

class PhoneCheck final {
  public:
    PhoneCheck() = delete;
    static bool isMobileNumber(const QString &number, int64_t areaCode);
};
