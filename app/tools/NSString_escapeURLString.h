// Text helpers every window shares: "%s" templates, URL escaping, quote doubling, emoji masking, the
// blank test; and the empty test of lists.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

// Fills each "%s" of the template with the values in order. A template with as many pieces as values
// comes back unchanged; values beyond the placeholders are unused; placeholders beyond the values are
// left empty.
QString internationalizationCopywriterProcessing(const QString &text, const QStringList &array);

// Percent-escapes the UTF-8 bytes of the text; letters, digits, "-._~/:=&" stay.
QString urlEncodeUsingEncoding(const QString &text);

// Doubles every apostrophe; anything that is not a text counts as the empty text.
QString replayceString(const QVariant &object);

// Replaces every emoji with "□".
QString formatEmoji(const QString &text);

// True when nothing is left after trimming white space and line breaks.
bool isEmpty(const QString &text);

template <typename T>
bool isEmpty(const QList<T> &array) {
    return array.isEmpty();
}
