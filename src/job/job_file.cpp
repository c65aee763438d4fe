#include "job/job_file.h"

#include <functional>
#include <map>
#include <vector>

#include "charger/port_list.h"
#include "image/image_file.h"
#include "image/profile.h"
#include "image/sha256.h"
#include "job/pinned_image.h"

namespace {

// "fw.bin   ; comment" -> "fw.bin".
std::string WithoutComment(const std::string& value) {
  for (size_t at = value.find(';'); at != std::string::npos; at = value.find(';', at + 1)) {
    if (at == 0 || value[at - 1] == ' ' || value[at - 1] == '\t') {
      size_t end = at;
      while (end > 0 && (value[end - 1] == ' ' || value[end - 1] == '\t')) --end;
      return value.substr(0, end);
    }
  }
  return value;
}

std::string Where(const std::string& jobFile, size_t line) {
  // Appended, which mingw's GCC 12 does not misread as an overlap.
  std::string where = "the job " + jobFile;
  if (line > 0) where.append(":").append(std::to_string(line));
  return where;
}

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() >= 2 && path[1] == ':');
}

std::string BesideJob(const std::string& jobFile, const std::string& path) {
  if (IsAbsolute(path)) return path;
  return FolderOf(jobFile) + path;
}

// One key's reading: false with the reason when its value is not one it takes.
using KeyReader = std::function<bool(Job&, const std::string& value, std::string* reason)>;

bool Flag(const std::string& value, bool* flag, std::string* reason) {
  if (value != "0" && value != "1") {
    *reason = "must be 0 or 1, not '" + value + "'";
    return false;
  }
  *flag = value == "1";
  return true;
}

bool Text(const std::string& value, std::string* text, std::string* reason) {
  if (value.empty()) {
    *reason = "is empty";
    return false;
  }
  *text = value;
  return true;
}

// A file the job names; a relative path is taken from the job file's folder.
bool FileBesideJob(const Job& job, const std::string& value, std::string* path,
                   std::string* reason) {
  if (!Text(value, path, reason)) return false;
  *path = BesideJob(job.file, value);
  return true;
}

const std::map<std::string, KeyReader>& Keys() {
  static const std::map<std::string, KeyReader> keys = {
      {"Name",
       [](Job& job, const std::string& v, std::string* r) { return Text(v, &job.name, r); }},
      {"Image", [](Job& job, const std::string& v,
                   std::string* r) { return FileBesideJob(job, v, &job.image, r); }},
      {"Sha256",
       [](Job& job, const std::string& v, std::string* r) {
         if (!IsSha256Text(v)) {
           *r = "must be 64 hex digits, not '" + v + "'";
           return false;
         }
         job.sha256 = v;
         return true;
       }},
      {"Models",
       [](Job& job, const std::string& v, std::string* r) {
         job.guards.models = SplitNameList(v);
         if (!job.guards.models.empty()) return true;
         *r = "names no model";
         return false;
       }},
      {"NoDowngrade", [](Job& job, const std::string& v,
                         std::string* r) { return Flag(v, &job.guards.noDowngrade, r); }},
      {"SkipSameVersion", [](Job& job, const std::string& v,
                             std::string* r) { return Flag(v, &job.skipSameVersion, r); }},
      {"Verify",
       [](Job& job, const std::string& v, std::string* r) { return Flag(v, &job.verify, r); }},
      {"Fast",
       [](Job& job, const std::string& v, std::string* r) { return Flag(v, &job.fast, r); }},
      {"Retries",
       [](Job& job, const std::string& v, std::string* r) {
         const bool digits =
             !v.empty() && v.size() <= 2 && v.find_first_not_of("0123456789") == std::string::npos;
         if (digits && std::stoi(v) <= kMostRetries) {
           job.retries = std::stoi(v);
           return true;
         }
         *r = "must be a whole number from 0 to " + std::to_string(kMostRetries) + ", not '" + v +
              "'";
         return false;
       }},
      {"Record", [](Job& job, const std::string& v,
                    std::string* r) { return FileBesideJob(job, v, &job.record, r); }},
      {"Url",
       [](Job& job, const std::string& v, std::string* r) { return Text(v, &job.postUrl, r); }},
      {"Station",
       [](Job& job, const std::string& v, std::string* r) { return Text(v, &job.station, r); }},
  };
  return keys;
}

}  // namespace

std::optional<Job> ReadJob(const std::string& path, std::string* error) {
  auto refuse = [&](size_t line, const std::string& reason) {
    *error = Where(path, line) + ": " + reason;
    return std::nullopt;
  };
  std::string text;
  std::string reason;
  if (!ReadProfileText(path, &text, &reason)) return refuse(0, "cannot be read (" + reason + ")");

  Job job;
  job.file = path;
  std::map<std::string, size_t>& seen = job.lines;
  size_t sectionLine = 0;
  for (const ProfileLine& line : ProfileLines(text)) {
    switch (line.kind) {
      case ProfileLine::Kind::Blank:
      case ProfileLine::Kind::Comment:
        continue;
      case ProfileLine::Kind::Other:
        return refuse(line.number, "not a [section] or a Key=value line");
      case ProfileLine::Kind::Section:
        if (line.name != "Job" || sectionLine > 0)
          return refuse(line.number, "a job file has one section, [Job]; not [" + line.name + "]");
        sectionLine = line.number;
        continue;
      case ProfileLine::Kind::Key:
        break;
    }
    if (sectionLine == 0) return refuse(line.number, line.name + "= comes before [Job]");
    const auto key = Keys().find(line.name);
    if (key == Keys().end()) return refuse(line.number, "unknown key " + line.name);
    if (!seen.emplace(line.name, line.number).second)
      return refuse(line.number, line.name + " is given twice");
    if (!key->second(job, WithoutComment(line.value), &reason))
      return refuse(line.number, line.name + " " + reason);
  }
  if (sectionLine == 0) return refuse(0, "has no [Job] section");
  for (const char* required : {"Name", "Image"})
    if (!seen.count(required))
      return refuse(sectionLine, "[Job] has no " + std::string(required) + "=");

  const ImageRead image = ReadImageFile(job.image);
  if (!image.ok) return refuse(seen["Image"], image.error);
  if (!job.sha256.empty()) {
    const std::string problem = PinnedImageProblem(
        job.image, Sha256Hex(image.bytes.data(), image.bytes.size()), job.sha256);
    if (!problem.empty()) return refuse(seen["Sha256"], problem);
  }
  return job;
}

std::string JobRefusal(const Job& job, const std::string& key, const std::string& reason) {
  const auto line = job.lines.find(key);
  return Where(job.file, line == job.lines.end() ? 0 : line->second) + ": " + key + " " + reason;
}
