#include "job/guards.h"

#include "job/model_pattern.h"
#include "job/version_order.h"

namespace {

std::string Listed(const std::vector<std::string>& names) {
  std::string listed;
  for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
  return listed;
}

std::string DowngradeRefusal(const MenuReply& charger,
                             const std::optional<std::string>& imageVersion) {
  if (!charger.version)
    return "the charger reports no firmware version, so it cannot be told whether the image is "
           "older";
  if (!imageVersion)
    return "the image has no version tag, so it cannot be told whether it is older than the "
           "charger's " +
           *charger.version;
  switch (CompareVersions(*imageVersion, *charger.version)) {
    case VersionOrder::Older:
      return "the image's version " + *imageVersion + " is older than the charger's " +
             *charger.version;
    case VersionOrder::Incomparable:
      return "the image's version " + *imageVersion + " cannot be ordered against the charger's " +
             *charger.version;
    case VersionOrder::Same:
    case VersionOrder::Newer:
      break;
  }
  return {};
}

}  // namespace

std::string GuardRefusal(const Guards& guards, const MenuReply& charger,
                         const std::optional<std::string>& imageVersion) {
  const std::string model = WithoutLoaderBytes(charger).identification;
  if (!MatchesAnyModel(model, guards.models))
    return "charger '" + model + "' is not a model this image is for (" + Listed(guards.models) +
           ")";
  if (guards.noDowngrade) return DowngradeRefusal(charger, imageVersion);
  return {};
}
