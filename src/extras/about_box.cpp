#include "extras/about_box.h"

#include "res/version.h"

AboutVersionLine AboutBoxVersionLine() {
  return {std::string("Version ") + kChargerUpdaterVersion, 40, 26, 119, 8};
}
