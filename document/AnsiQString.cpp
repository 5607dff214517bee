#include "document/AnsiQString.h"

#include "document/AnsiText.h"

QString QStringFromAnsi(std::string_view bytes)
{
    // Value texts are plain ASCII: the view paints a thousand of them a second.
    if (ansi::SameAsLatin1(bytes))
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    const std::u16string text = ansi::ToUtf16(bytes);
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
