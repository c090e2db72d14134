#pragma once

#include <QString>

#include <cstddef>

// Outside text (server replies, file contents, decoder lines) can be of any
// length, and a widget asked to lay out megabytes of it stalls the window.
// A label, grid cell, log row or message box shows at most this many
// characters of it, ending in "…"; the data itself is kept whole, so copying
// and saving still give all of it.
inline constexpr qsizetype DisplayTextLimit = 4000;

inline QString BoundForDisplay(const QString &text, qsizetype limit = DisplayTextLimit)
{
    if (text.size() <= limit)
        return text;
    qsizetype cut = limit - 1;
    // Never split a surrogate pair.
    if (cut > 0 && text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + QChar(0x2026);
}
