#pragma once

#include <string>
#include <string_view>

// The file helpers' messages pass through here before they are shown. The
// catalogue lookup lives a layer above this library; it hands itself over
// when the program sets up its translation (InitializeTranslation). Until
// then a text passes unchanged.
using MessageTranslator = std::string (*)(std::string_view text);
void SetMessageTranslator(MessageTranslator translator);
std::string TranslateMessage(std::string_view text);
