#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether a charger's identification line is `pattern` as a whole: '*' stands for any run of
// bytes (none too), '?' for one byte; everything else is itself, case and all.
bool MatchesModel(std::string_view line, std::string_view pattern);
// Whether it matches one of `patterns`; true when there are none.
bool MatchesAnyModel(std::string_view line, const std::vector<std::string>& patterns);
