#include "ymodem/header_name.h"

std::string FitHeaderName(std::string_view name, size_t room) {
  if (name.size() <= room) return std::string(name);
  const size_t dot = name.rfind('.');
  // A leading dot starts a hidden file's name, not an extension; an extension that leaves
  // no byte for the stem is cut like the rest.
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot >= room)
    return std::string(name.substr(0, room));
  const std::string_view extension = name.substr(dot);
  return std::string(name.substr(0, room - extension.size())).append(extension);
}
