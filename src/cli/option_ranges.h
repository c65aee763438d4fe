#pragma once

#include <CLI/CLI.hpp>

// Checks for the numeric options, so a value is refused with a short message before it can
// overflow a deadline: a decimal number of seconds, or a whole count, within [low, high].
CLI::Validator SecondsBetween(double low, double high);
CLI::Validator CountBetween(int low, int high);
