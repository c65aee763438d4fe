// The POSIX twin uses libcurl: its multi interface, so that Abort can wake a transfer that
// waits for the network (curl_multi_wakeup) instead of waiting out the time limit.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "post/http_client.h"
#include "res/version.h"

namespace {

size_t KeepStart(char* data, size_t size, size_t count, void* kept) {
  auto* start = static_cast<std::string*>(kept);
  const size_t bytes = size * count;
  if (start->size() < kAnswerKept)
    start->append(data, std::min(bytes, kAnswerKept - start->size()));
  return bytes;
}

}  // namespace

struct HttpClient::Impl {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::string authorization;
  std::string start;
  char errorText[CURL_ERROR_SIZE] = {};
  std::atomic<bool> aborted{false};
};

HttpClient::HttpClient(const PostUrl& url, const std::string& caCert, const std::string& token)
    : m_impl(std::make_unique<Impl>()) {
  static std::once_flag ready;
  std::call_once(ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  Impl& c = *m_impl;
  c.easy = curl_easy_init();
  c.multi = curl_multi_init();
  if (!token.empty()) c.authorization = "Authorization: Bearer " + token;
  curl_easy_setopt(c.easy, CURLOPT_URL, url.text.c_str());
  curl_easy_setopt(c.easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c.easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c.easy, CURLOPT_USERAGENT,
                   (std::string("charger-updater/") + kChargerUpdaterVersion).c_str());
  curl_easy_setopt(c.easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c.easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // The system's certificates stay trusted through libcurl's CA path beside this file.
  if (!caCert.empty()) curl_easy_setopt(c.easy, CURLOPT_CAINFO, caCert.c_str());
  curl_easy_setopt(c.easy, CURLOPT_WRITEFUNCTION, KeepStart);
  curl_easy_setopt(c.easy, CURLOPT_WRITEDATA, &c.start);
  curl_easy_setopt(c.easy, CURLOPT_ERRORBUFFER, c.errorText);
}

HttpClient::~HttpClient() {
  curl_multi_cleanup(m_impl->multi);
  curl_easy_cleanup(m_impl->easy);
}

HttpAnswer HttpClient::Post(const std::string& body, const std::string& idempotencyKey,
                            std::chrono::milliseconds limit) {
  Impl& c = *m_impl;
  HttpAnswer answer;
  if (c.aborted) {
    answer.error = "stopped";
    return answer;
  }
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/json");
  headers = curl_slist_append(headers, ("Idempotency-Key: " + idempotencyKey).c_str());
  if (!c.authorization.empty()) headers = curl_slist_append(headers, c.authorization.c_str());
  headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
  curl_easy_setopt(c.easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c.easy, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(c.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c.easy, CURLOPT_TIMEOUT_MS,
                   static_cast<long>(std::max<int64_t>(1, limit.count())));
  c.start.clear();
  c.errorText[0] = '\0';

  curl_multi_add_handle(c.multi, c.easy);
  int running = 1;
  while (running > 0 && !c.aborted) {
    if (curl_multi_perform(c.multi, &running) != CURLM_OK) break;
    if (running > 0) curl_multi_poll(c.multi, nullptr, 0, 1000, nullptr);
  }
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(c.multi, &left))
    if (message->msg == CURLMSG_DONE) result = message->data.result;
  curl_multi_remove_handle(c.multi, c.easy);
  curl_easy_setopt(c.easy, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);

  if (running > 0 || result == CURLE_ABORTED_BY_CALLBACK) {
    answer.error = "stopped before the server answered";
  } else if (result != CURLE_OK) {
    answer.error = c.errorText[0] != '\0' ? c.errorText : curl_easy_strerror(result);
  } else {
    long status = 0;
    curl_easy_getinfo(c.easy, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<int>(status);
    answer.start = c.start;
  }
  return answer;
}

void HttpClient::Abort() {
  m_impl->aborted = true;
  curl_multi_wakeup(m_impl->multi);
}
