#include "telegram.h"

#include "decoderprotocol.h"

namespace session {

std::optional<Telegram> ParseTelegram(std::string_view line)
{
    if (!decoder::IsTelegram(line))
        return std::nullopt;
    Telegram t;
    t.identifier = std::string(line.substr(6, 8));
    t.status = line[15];
    t.tacticalInfo = line[17];
    t.stage = line[19];
    t.toVehicle = line[21] == '2';
    if (line.size() > 23)
        t.freeText = std::string(line.substr(23, line.size() - 24));
    return t;
}

} // namespace session
