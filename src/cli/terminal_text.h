#pragma once

#include <string>
#include <string_view>

// `text` as a terminal may show it: printable ASCII and well-formed UTF-8 pass, a backslash
// is doubled, and every other byte (ESC, BEL, CR, C1 controls, stray or overlong UTF-8)
// becomes \xHH, so a charger's bytes can never steer the user's terminal.
std::string PrintableText(std::string_view text);
