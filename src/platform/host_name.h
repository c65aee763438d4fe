#pragma once

#include <string>

// This computer's name as the network knows it; empty when the system does not say.
std::string HostName();
