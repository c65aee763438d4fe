#pragma once

#include <string>

// What the About box (template 100) shows beyond its template: the program's version, on a
// line of its own under the program name, so the template itself stays as it is.
struct AboutVersionLine {
  std::string text;
  int x, y, width, height;  // dialog units
};

AboutVersionLine AboutBoxVersionLine();
