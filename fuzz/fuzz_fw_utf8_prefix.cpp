// The longest strict UTF-8 prefix, found in one pass, against decoding ever shorter prefixes with Qt's strict
// decoder; and the field-bounded conversion never reads past its width.
#include <QByteArrayView>
#include <QStringDecoder>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "model/QVClientSDKTools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 256) return 0;  // the reference is quadratic
    const char *bytes = reinterpret_cast<const char *>(data);
    size_t want = 0;
    for (size_t n = size; n >= 1; --n) {
        QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = dec.decode(QByteArrayView(bytes, static_cast<qsizetype>(n)));  // decodes here
        (void)decoded;
        if (!dec.hasError()) {
            want = n;
            break;
        }
    }
    // A NUL is valid UTF-8 for both sides; the conversion itself stops there.
    if (QVClientSDKTools::validUtf8PrefixLength(bytes, size) != want) std::abort();
    std::vector<char> field(bytes, bytes + size);  // exactly the field, no terminator after it
    (void)QVClientSDKTools::qvFormatChar(field.data(), field.size());
    return 0;
}
