#include "messagetranslation.h"

#include <atomic>

namespace {

std::atomic<MessageTranslator> translator{nullptr};

} // namespace

void SetMessageTranslator(MessageTranslator translate) { translator.store(translate); }

std::string TranslateMessage(std::string_view text)
{
    const MessageTranslator translate = translator.load();
    return translate ? translate(text) : std::string(text);
}
