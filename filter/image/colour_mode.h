// ColourMode: the page's colour-mode option slot (cupsInteger[4]) as the
// pipeline uses it, read once when the page is handed on. It decides how
// many planes the page has, who codes it and what the page header says.
#pragma once

#include "wintypes.h"

enum class ColourMode : BYTE {
  Mono = 0,      // one plane, black and white
  BlackRed = 1,  // two planes: black, then red
  Gray = 2,      // one plane on a colour printer ("Grayscale")
  Cmyk = 3,      // four planes: K, Y, M, C
};

// The mode of an option slot value. No PPD sets a value above 3; such a
// page is printed in black and white (the page loop says so on a WARNING:
// line).
constexpr ColourMode ColourModeOf(unsigned cupsInteger4) {
  return cupsInteger4 <= 3 ? static_cast<ColourMode>(cupsInteger4) : ColourMode::Mono;
}

// Planes stacked in the page buffer.
constexpr DWORD PlaneCount(ColourMode m) {
  return m == ColourMode::Cmyk ? 4 : m == ColourMode::BlackRed ? 2 : 1;
}
constexpr bool IsFourColour(ColourMode m) {
  return m == ColourMode::Cmyk;
}
constexpr bool IsBlackRed(ColourMode m) {
  return m == ColourMode::BlackRed;
}
// Pages of several planes are coded by the output thread, one at a time;
// one-plane pages by their own worker.
constexpr bool CodedByOutputThread(ColourMode m) {
  return PlaneCount(m) > 1;
}
