#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "conductor/conductor_face.h"

// gang's table of ports for a terminal: a header and a row per port (port, serial, version,
// state, percent, elapsed), cut to `height` lines; the rows left out are counted on a last
// line, and busy ports are the last to be left out.
std::vector<std::string> TableLines(const std::vector<PortRow>& rows, int height,
                                    std::chrono::steady_clock::time_point now);

// The table drawn in place on a terminal: each Draw overwrites the last, and text printed
// "above" it scrolls up while the table stays at the bottom.
class LiveTable {
 public:
  // Redraws the table; `height` is the terminal's (0: unknown).
  std::string Draw(const std::vector<PortRow>& rows, int height);
  // What erases the table drawn last, so a line can take its place.
  std::string Erase();

 private:
  int m_drawn = 0;  // lines of the table on the screen
};
