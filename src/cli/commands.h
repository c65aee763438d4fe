#pragma once

#include <string>
#include <vector>

#include "job/guards.h"
#include "platform/exit_status.h"
#include "record/session_record.h"

struct CliOptions {
  std::vector<std::string> ports;  // empty: the system's list
  double waitSeconds = 10;
  int count = 0;  // auto: stop after this many sessions; 0: until interrupted
  std::string image;
  double timeoutSeconds = 35;        // a session not completed by then counts as failed
  std::string recordPath;            // --record: one row per session appended here
  bool json = false;                 // --json: one JSON object per line on stdout
  std::vector<std::string> serials;  // --serial: only these chargers are touched
  bool skipSameVersion = false;
  bool verify = false;
  bool fast = false;
  Guards guards;            // --model, --no-downgrade
  std::string sha256;       // --sha256: the image must have this digest
  int retries = 0;          // --retries: a failed session is tried again this often
  std::string job;          // --job: the job file the options above came from
  RecordContext context;    // --station-name, --operator, --lot, and the job's name
  std::string postUrl;      // --post: every row is also posted here, through the spool
  std::string spoolFolder;  // --spool: where rows wait to be posted; empty: the default
  std::string caCert;       // --cacert: a certificate trusted beside the system's
  bool all = false;         // info --all
  // auto run by gang, info run by info --all: its conductor's lines come on stdin.
  bool worker = false;
};

int RunPorts(const CliOptions& options);
int RunInfo(const CliOptions& options);
int RunFlash(const CliOptions& options);
int RunAuto(const CliOptions& options);
int RunGang(const CliOptions& options);
int RunInfoAll(const CliOptions& options);
int RunRecordsPush(const CliOptions& options);
int RunRecordsStatus(const CliOptions& options);
