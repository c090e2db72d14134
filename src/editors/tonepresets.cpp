#include "tonepresets.h"

std::optional<ToneFieldTexts> TonePreset(int index)
{
    static const ToneFieldTexts zvei1{"1060", "1160", "1270", "1400", "1530", "1670", "1830", "2000", "2200", "2400", "2600"};
    // ZVEI-2 differs from ZVEI-1 only in the repeat tone.
    static const ToneFieldTexts zvei2{"1060", "1160", "1270", "1400", "1530", "1670", "1830", "2000", "2200", "2400", "970"};
    // EEA and CCIR share their frequencies.
    static const ToneFieldTexts eea{"1124", "1197", "1275", "1358", "1446", "1540", "1640", "1747", "1860", "1981", "2110"};
    switch (index) {
    case 0: return zvei1;
    case 1: return zvei2;
    case 2:
    case 3: return eea;
    case 4: return ToneFieldTexts{};
    default: return std::nullopt;
    }
}
