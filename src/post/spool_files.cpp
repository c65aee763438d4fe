#include "post/spool_files.h"

#include <cerrno>

namespace spool_files {

int File::ReadAt(uint64_t offset, size_t count, std::string* out) const {
  const size_t start = out->size();
  out->resize(start + count);
  size_t got = 0;
  int err = 0;
  while (got < count) {
    const long long n = ReadSome(offset + got, out->data() + start + got, count - got, &err);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out->resize(start + got);
  return err;
}

int File::WriteAt(uint64_t offset, std::string_view data) {
  int err = 0;
  while (!data.empty()) {
    const long long n = WriteSome(offset, data.data(), data.size(), &err);
    if (n <= 0) return n < 0 ? err : EIO;
    data.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return 0;
}

}  // namespace spool_files
