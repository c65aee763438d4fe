#pragma once

#include <string>

#include "station/station.h"

namespace CLI {
class App;
}

// After the window's command line is parsed: the job the station opens with, in
// `options.run.job` for Station::Open to read. --job FILE, else config.ini's [Job] Path=, else,
// when no IMAGE is given, the station's last job ([Station] Job=). An image or an option the
// job fixes given beside it is a usage error, as on the command line. Empty, or what is wrong.
std::string TakeStationJob(const CLI::App& cli, Station::Options& options);
