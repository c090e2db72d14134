#include "telegramsource.h"

#include <array>

namespace {

// Identifiers after the BOS scheme: organisation, state, district (2),
// vehicle (4), eight hex digits in all.
constexpr std::array<const char *, 8> kVehicles = {"61234521", "61234522", "62051183", "63318801",
                                                   "68120417", "6B7A0312", "69440250", "61010101"};
constexpr std::array<const char *, 6> kTexts = {"RTW 1/83-1", "Einsatz uebernommen", "KTW 2/85-2",
                                                "HLF 20 Wache 3", "Sprechwunsch", "NEF 1/82-1"};
constexpr char kStatus[] = "0123456789ABCDEF";

} // namespace

std::string TelegramSource::Next()
{
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); };
    const char rs = '\x1e';
    std::string line = "1";
    line += rs;
    line += 'R';
    line += rs;
    line += '2';
    line += rs;
    line += kVehicles[pick(kVehicles.size())];
    line += rs;
    line += kStatus[pick(16)];
    line += rs;
    line += static_cast<char>('0' + pick(4)); // TKI
    line += rs;
    line += static_cast<char>('0' + pick(2)); // BS
    line += rs;
    line += pick(4) == 0 ? '2' : '1'; // mostly vehicle to control centre
    if (pick(3) == 0) {
        line += rs;
        line += kTexts[pick(kTexts.size())];
    }
    line += "\n\r";
    return line;
}
