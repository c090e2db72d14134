#include "filemessage.h"

#include "messagetranslation.h"
#include "text8bit.h"

std::string FileMessage(std::string_view pattern, const std::string &name)
{
    std::string text = TranslateMessage(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, name);
    return ShortenUtf8(text);
}
