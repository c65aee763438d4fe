#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "post/post_url.h"

// What a POST brought back.
struct HttpAnswer {
  int status = 0;     // 0: no answer; `error` says why
  std::string start;  // the answer's first kAnswerKept bytes
  std::string error;  // why there was no answer, never the token
};

inline constexpr size_t kAnswerKept = 200;

// POSTs JSON bodies to one address over a kept-open connection: libcurl on Linux, WinHTTP on
// Windows. https checks the server's certificate and host name against the system's trusted
// certificates and, when given, one more (a plant's own CA).
class HttpClient {
 public:
  // `caCert`: a PEM file; `token`: sent as "Authorization: Bearer <token>" when not empty.
  HttpClient(const PostUrl& url, const std::string& caCert, const std::string& token);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // One POST with "Content-Type: application/json" and "Idempotency-Key: <key>", bounded by
  // `limit` from connecting to the answer's end.
  HttpAnswer Post(const std::string& body, const std::string& idempotencyKey,
                  std::chrono::milliseconds limit);
  // Ends a Post in flight at once and makes later ones fail; any thread.
  void Abort();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
