#include "tools/NSString_escapeURLString.h"

#include <QTextBoundaryFinder>

QString internationalizationCopywriterProcessing(const QString &text, const QStringList &array) {
    const QStringList pieces = text.split(QStringLiteral("%s"));
    if (pieces.size() == array.size()) return text;
    QString out = pieces.first();
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        if (i - 1 < array.size()) out += array.at(i - 1);  // too few values: the placeholder stays empty
        out += pieces.at(i);
    }
    return out;
}

QString urlEncodeUsingEncoding(const QString &text) {
    static const QByteArray keep = "-._~/:=&";
    return QString::fromLatin1(text.toUtf8().toPercentEncoding(keep));
}

QString replayceString(const QVariant &object) {
    if (object.typeId() != QMetaType::QString) return {};
    QString s = object.toString();
    return s.replace(QLatin1Char('\''), QStringLiteral("''"));
}

namespace {

bool isEmojiSequence(QStringView seq) {
    if (seq.isEmpty()) return false;
    const char16_t first = seq.at(0).unicode();
    if (QChar::isHighSurrogate(first)) {
        if (seq.size() < 2) return false;
        const char32_t cp = QChar::surrogateToUcs4(first, seq.at(1).unicode());
        return cp >= 0x1D000 && cp <= 0x1F77F;
    }
    if (seq.size() >= 2) return seq.at(1).unicode() == 0x20E3;
    const char16_t u = first;
    return (u >= 0x2100 && u <= 0x27FF) || (u >= 0x2B05 && u <= 0x2B07) || (u >= 0x2934 && u <= 0x2935) ||
           (u >= 0x3297 && u <= 0x3299) || u == 0xA9 || u == 0xAE || u == 0x303D || u == 0x3030 ||
           u == 0x2B55 || u == 0x2B1C || u == 0x2B1B || u == 0x2B50;
}

}  // namespace

QString formatEmoji(const QString &text) {
    QString out = text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = finder.toNextBoundary();
        if (end <= start) end = text.size();
        const QString seq = text.mid(start, end - start);
        if (isEmojiSequence(seq)) out.replace(seq, QStringLiteral("\u25A1"));
        start = end;
    }
    return out;
}

bool isEmpty(const QString &text) {
    return text.trimmed().isEmpty();
}
