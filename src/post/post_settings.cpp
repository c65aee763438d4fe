#include "post/post_settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "image/file_io.h"
#include "image/profile.h"
#include "post/post_url.h"

namespace {

constexpr size_t kLargestSmallFile = 1 << 20;

// A certificate or token file, whole; errno when it cannot be read.
int ReadSmallFile(const std::string& path, std::string* text) {
  file_io::Reader reader(path);
  if (reader.OpenError() != 0) return reader.OpenError();
  file_io::Kind kind = file_io::Kind::Other;
  uint64_t size = 0;
  int err = 0;
  if (!reader.Describe(&kind, &size, &err)) return err;
  if (kind == file_io::Kind::Directory) return EISDIR;
  if (kind != file_io::Kind::Regular || size > kLargestSmallFile) return EINVAL;
  char buffer[4096];
  for (long long got; (got = reader.Read(buffer, sizeof buffer, &err)) > 0;)
    text->append(buffer, static_cast<size_t>(got));
  return err;
}

// A header value may hold no line break or other control character.
std::string CheckToken(const std::string& token, const std::string& from) {
  if (token.empty()) return from + " holds no token";
  if (std::any_of(token.begin(), token.end(),
                  [](unsigned char c) { return c < 0x20 || c == 0x7F; }))
    return "the token in " + from + " holds a control character (a line break?)";
  return "";
}

}  // namespace

std::string CheckPostUrl(const std::string& url) {
  std::string error;
  if (ParsePostUrl(url, &error)) return "";
  return url + " cannot be posted to: " + error +
         " (give the server's address, e.g. https://mes.example/api/records)";
}

std::string CheckJobUrl(const Job& job) {
  if (job.postUrl.empty()) return "";
  const std::string why = CheckPostUrl(job.postUrl);
  return why.empty() ? "" : JobRefusal(job, "Url", why);
}

std::string CheckCaCert(const std::string& path) {
  std::string text;
  if (const int err = ReadSmallFile(path, &text); err != 0)
    return "cannot read the certificate " + path + ": " + std::strerror(err);
  if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
    return path + " holds no certificate (a PEM file, -----BEGIN CERTIFICATE-----)";
  return "";
}

std::string TokenFromEnvironment(std::string* token) {
  const char* value = std::getenv("CHARGER_UPDATER_TOKEN");
  *token = value != nullptr ? value : "";
  return token->empty() ? "" : CheckToken(*token, "CHARGER_UPDATER_TOKEN");
}

bool PostSettingsFromProfile(const std::string& configPath, const Job* job, PostSettings* settings,
                             std::string* error) {
  const bool jobsServer = job != nullptr && !job->postUrl.empty();
  settings->url = jobsServer ? job->postUrl : ReadProfileString(configPath, "Record", "Url", "");
  if (settings->url.empty()) return true;
  const auto fail = [&](const std::string& key, const std::string& why) {
    *error = why + ". Correct [Record] " + key + "= in " + configPath + ".";
    return false;
  };
  if (jobsServer) {
    if (std::string why = CheckJobUrl(*job); !why.empty()) {
      *error = why + ". Correct the job, or run without it.";
      return false;
    }
  } else if (std::string why = CheckPostUrl(settings->url); !why.empty()) {
    return fail("Url", why);
  }
  settings->spoolFolder = ReadProfileString(configPath, "Record", "Spool", "");
  settings->caCert = ReadProfileString(configPath, "Record", "CaCert", "");
  if (!settings->caCert.empty())
    if (std::string why = CheckCaCert(settings->caCert); !why.empty()) return fail("CaCert", why);
  const std::string tokenFile = ReadProfileString(configPath, "Record", "TokenFile", "");
  if (tokenFile.empty()) {
    const std::string why = TokenFromEnvironment(&settings->token);
    return why.empty() || fail("TokenFile", why);
  }
  std::string text;
  if (const int err = ReadSmallFile(tokenFile, &text); err != 0)
    return fail("TokenFile", "cannot read the token file " + tokenFile + ": " + std::strerror(err));
  settings->token = text.substr(0, text.find_first_of("\r\n"));
  if (std::string why = CheckToken(settings->token, tokenFile); !why.empty())
    return fail("TokenFile", why);
  return true;
}
