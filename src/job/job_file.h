#pragma once

#include <map>
#include <optional>
#include <string>

#include "job/guards.h"

// A job: the saved settings a production line runs from, so nobody retypes (or mistypes) the
// image, its pin and its guards. An INI file like config.ini, one [Job] section:
//
//   [Job]
//   Name=QC-2410 release V20
//   Image=fw_v20.bin          ; relative paths are relative to the job file
//   Sha256=<64 hex digits>
//   Models=QC-2410*,QC-2411*
//   NoDowngrade=1
//   SkipSameVersion=1
//   Verify=1
//   Retries=2
//   Fast=0
//   Record=line4.csv
//   Url=https://mes.example/api/records
//   Station=Line 4
//
// Name and Image are required. A ';' after a blank starts a comment.
struct Job {
  std::string file;  // the job file, as named
  std::string name;
  std::string image;   // its path; a relative one is taken from the job file's folder
  std::string sha256;  // empty: the image is not pinned
  Guards guards;
  bool skipSameVersion = false;
  bool verify = false;
  bool fast = false;
  int retries = 0;      // 0 to 10
  std::string record;   // taken from the job file's folder likewise; empty: no record
  std::string postUrl;  // the server rows are posted to, as given; empty: the run's own choice
  std::string station;
  std::map<std::string, size_t> lines;  // each key given: its line, for a refusal found later
};

inline constexpr int kMostRetries = 10;

// The job in `path`, with its image there and matching its pin; nullopt, with `error` naming
// the file, the line and the reason, when it cannot be run.
// Url= is taken as text: the posting rules check it (CheckJobUrl).
std::optional<Job> ReadJob(const std::string& path, std::string* error);

// "the job FILE:LINE: `key` `reason`", on the line that gave `key`.
std::string JobRefusal(const Job& job, const std::string& key, const std::string& reason);
