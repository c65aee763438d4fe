#pragma once

// A record server on 127.0.0.1 for the posting tests: record_server.py in a child process,
// each request it took readable as a flat JSON object.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_child_process.h"
#include "record/json_text.h"

namespace posttest {

using namespace std::chrono_literals;

// A port on 127.0.0.1 that nothing listens on, as a server that is down.
inline int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

inline std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

struct ServerOptions {
  std::string answers = "200";  // statuses in turn; the last repeats
  std::string answerBody;       // the body of answers other than 2xx
  double delaySeconds = 0;      // before each answer
  std::string cert, key;        // https with these
  int port = 0;                 // 0: any free one
};

class RecordServer {
 public:
  RecordServer(const std::string& dir, ServerOptions options = {})
      : m_secure(!options.cert.empty()), m_log(dir + "/server-" + Unique() + ".log") {
    const std::string portFile = m_log + ".port";
    ChildLaunch launch;
    launch.argv = {"/usr/bin/python3",
                   RECORD_SERVER_PY,
                   "--port-file",
                   portFile,
                   "--log",
                   m_log,
                   "--answers",
                   options.answers,
                   "--port",
                   std::to_string(options.port)};
    if (!options.answerBody.empty())
      launch.argv.insert(launch.argv.end(), {"--answer-body", options.answerBody});
    if (options.delaySeconds > 0)
      launch.argv.insert(launch.argv.end(), {"--delay", std::to_string(options.delaySeconds)});
    if (m_secure)
      launch.argv.insert(launch.argv.end(), {"--cert", options.cert, "--key", options.key});
    launch.inheritNothingElse = true;
    Child child;
    if (SpawnChild(launch, &child) != 0) {
      ADD_FAILURE() << "cannot start the record server";
      return;
    }
    m_pid = child.pid;
    for (int i = 0; i < 200 && m_port == 0; ++i) {
      std::ifstream file(portFile);
      if (!(file >> m_port)) std::this_thread::sleep_for(25ms);
    }
    if (m_port == 0) ADD_FAILURE() << "the record server did not start";
  }
  ~RecordServer() { Stop(); }
  RecordServer(const RecordServer&) = delete;
  RecordServer& operator=(const RecordServer&) = delete;

  void Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

  int Port() const { return m_port; }
  std::string Url(const std::string& host = "127.0.0.1") const {
    return std::string(m_secure ? "https://" : "http://") + host + ":" + std::to_string(m_port) +
           "/records";
  }

  // Every request taken so far: path, content_type, idempotency_key, authorization, the
  // status it was answered with, and the body.
  std::vector<JsonFields> Requests() const {
    std::vector<JsonFields> requests;
    std::istringstream lines(ReadWhole(m_log));
    for (std::string line; std::getline(lines, line);)
      if (auto fields = ParseJsonLine(line)) requests.push_back(std::move(*fields));
    return requests;
  }
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout = 10s) const {
    for (auto deadline = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms))
      if (Requests().size() >= count) return true;
    return false;
  }

 private:
  static std::string Unique() {
    static int count = 0;
    return std::to_string(++count);
  }

  bool m_secure;
  std::string m_log;
  pid_t m_pid = -1;
  int m_port = 0;
};

// A self-signed certificate for 127.0.0.1 (and no other name), made with openssl.
inline bool MakeCertificate(const std::string& dir, std::string* cert, std::string* key) {
  *cert = dir + "/server-cert.pem";
  *key = dir + "/server-key.pem";
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
      *key + "' -out '" + *cert + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace posttest
