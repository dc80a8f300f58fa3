// Hides secrets in text bound for a log: the values of refreshToken, accessToken, authorizationCode,
// auth_code, ak, KID, ssig and password, as JSON keys ("key":"value" or "key":123) and as query parameters
// (key=value).
#pragma once

#include <QString>

QString QVRedactLogText(const QString &text);
