#include "exception.h"

Exception::~Exception() = default;

std::string WithFinalFullStop(const std::string &message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + '.';
    return message;
}
