#pragma once

#include <array>
#include <optional>
#include <string>

// The standard tone-call tables offered by the preset box, as the texts of
// the eleven digit fields in the order 1-9, 0, R.
using ToneFieldTexts = std::array<std::string, 11>;

// Preset indices of the box: 0 "ZVEI-1", 1 "ZVEI-2", 2 "EEA", 3 "CCIR",
// 4 "eigene" (all fields empty). Any other index has no preset.
std::optional<ToneFieldTexts> TonePreset(int index);
