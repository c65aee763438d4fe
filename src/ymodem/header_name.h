#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `name` cut to at most `room` bytes. A long name loses the end of its stem, not its
// extension, so the charger still learns what kind of file it gets.
std::string FitHeaderName(std::string_view name, size_t room);
