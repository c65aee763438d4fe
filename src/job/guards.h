#pragma once

#include <optional>
#include <string>
#include <vector>

#include "charger/menu_reply.h"

// What a charger must be before an image may go onto it: one of the models the image is for,
// and, with no-downgrade, not on a newer version than the image's.
struct Guards {
  std::vector<std::string> models;  // identification patterns ('*', '?'); none: any model
  bool noDowngrade = false;
};

// Why `charger` must not be given an image whose version tag is `imageVersion`, in the
// operator's words; empty when the guards let it. Nothing is flashed on a guess: a version
// missing on either side, or two that cannot be ordered, refuses under no-downgrade.
std::string GuardRefusal(const Guards& guards, const MenuReply& charger,
                         const std::optional<std::string>& imageVersion);
