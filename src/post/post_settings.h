#pragma once

#include <string>

#include "job/job_file.h"

// How record rows are posted: to which address, through which spool folder, trusting which
// extra certificate, with which token.
struct PostSettings {
  std::string url;          // empty: rows are not posted
  std::string spoolFolder;  // empty: the user's data folder's spool
  std::string caCert;       // a PEM file trusted beside the system's certificates, or empty
  std::string token;        // sent as a bearer token; never printed, logged or written
};

// Why `url` cannot be posted to; empty when it can.
std::string CheckPostUrl(const std::string& url);
// Why a job's Url= cannot be posted to, naming the job's file and line; empty when it can or
// the job names no server.
std::string CheckJobUrl(const Job& job);
// Why `path` cannot serve as an extra trusted certificate; empty when it can.
std::string CheckCaCert(const std::string& path);
// CHARGER_UPDATER_TOKEN into `token` ("" when it is not set); why it cannot be sent as a
// header, "" when it can.
std::string TokenFromEnvironment(std::string* token);
// config.ini's [Record] Url=, Spool=, CaCert= and TokenFile= (the token file's first line;
// without one, CHARGER_UPDATER_TOKEN); the Url= of a `job` the window runs from comes before
// config.ini's. false, with the reason, when one of them cannot be used; no Url= leaves
// `settings->url` empty.
bool PostSettingsFromProfile(const std::string& configPath, const Job* job, PostSettings* settings,
                             std::string* error);
