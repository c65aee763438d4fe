// The Windows twin uses WinHTTP, part of the system. A plant's own CA given by --cacert is
// checked by hand: WinHTTP is told to accept an unknown root, and the status callback that
// runs after the TLS handshake and before the request is sent builds the server's chain and
// closes the request unless the chain ends at a root the system trusts or at that CA. Closing
// the request handle in WINHTTP_CALLBACK_STATUS_SENDING_REQUEST is how Microsoft documents
// stopping a request to a server that fails a check of one's own (GDK,
// XNetworkingVerifyServerCertificate): nothing is sent. Host name and dates WinHTTP still checks.
#include <windows.h>
// After windows.h:
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "image/file_io.h"
#include "platform/win32_text.h"
#include "post/http_client.h"
#include "res/version.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrorText(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "could not connect to the server";
    case ERROR_WINHTTP_TIMEOUT:
      return "the server did not answer in time";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "the server's name could not be resolved";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection to the server was broken";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
      return "the server's certificate is not trusted for this address (WinHTTP error " +
             std::to_string(error) + ")";
    case ERROR_WINHTTP_OPERATION_CANCELLED:
      return "stopped before the server answered";
    default:
      return "WinHTTP error " + std::to_string(error) + " (" + WindowsErrorText(error) + ")";
  }
}

// The first certificate of a PEM file; nullptr when there is none.
PCCERT_CONTEXT ReadCertificate(const std::string& path) {
  file_io::Reader reader(path);
  std::string pem;
  char buffer[4096];
  int err = 0;
  for (long long got; (got = reader.Read(buffer, sizeof buffer, &err)) > 0;)
    pem.append(buffer, static_cast<size_t>(got));
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr))
    return nullptr;
  std::string der(size, '\0');
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
    return nullptr;
  return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                      reinterpret_cast<const BYTE*>(der.data()), size);
}

}  // namespace

struct HttpClient::Impl {
  std::wstring target;
  bool secure = false;
  std::wstring headers;  // those every POST carries
  HINTERNET session = nullptr;
  HINTERNET connect = nullptr;
  PCCERT_CONTEXT extraRoot = nullptr;
  HCERTSTORE extraStore = nullptr;

  std::mutex mutex;
  HINTERNET request = nullptr;
  bool aborted = false;
  bool untrusted = false;

  void CloseRequest() {
    std::lock_guard lock(mutex);
    if (request != nullptr) WinHttpCloseHandle(std::exchange(request, nullptr));
  }

  // A chain the system trusts, or one that ends at the extra root with no other fault.
  bool Trusted(PCCERT_CONTEXT server) const {
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, server, nullptr, extraStore, &para, 0, nullptr, &chain))
      return false;
    const DWORD faults = chain->TrustStatus.dwErrorStatus;
    bool trusted = faults == CERT_TRUST_NO_ERROR;
    if (!trusted && faults == CERT_TRUST_IS_UNTRUSTED_ROOT && chain->cChain > 0) {
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      const PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
      trusted = CertCompareCertificate(X509_ASN_ENCODING, root->pCertInfo, extraRoot->pCertInfo);
    }
    CertFreeCertificateChain(chain);
    return trusted;
  }

  static void CALLBACK BeforeSending(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID,
                                     DWORD) {
    if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST) return;
    Impl& impl = *reinterpret_cast<Impl*>(context);
    PCCERT_CONTEXT server = nullptr;
    DWORD size = sizeof server;
    const bool trusted =
        WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) &&
        impl.Trusted(server);
    if (server != nullptr) CertFreeCertificateContext(server);
    if (trusted) return;
    impl.untrusted = true;
    impl.CloseRequest();  // nothing is sent: the request fails as cancelled
  }
};

HttpClient::HttpClient(const PostUrl& url, const std::string& caCert, const std::string& token)
    : m_impl(std::make_unique<Impl>()) {
  Impl& c = *m_impl;
  c.target = Widen(url.target);
  c.secure = url.secure;
  c.headers = L"Content-Type: application/json\r\n";
  if (!token.empty()) c.headers += L"Authorization: Bearer " + Widen(token) + L"\r\n";
  const std::wstring agent = L"charger-updater/" + Widen(kChargerUpdaterVersion);
  c.session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  if (c.session != nullptr)
    c.connect = WinHttpConnect(c.session, Widen(url.host).c_str(), url.port, 0);
  if (!caCert.empty() && url.secure) {
    c.extraRoot = ReadCertificate(caCert);
    c.extraStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (c.extraRoot != nullptr && c.extraStore != nullptr)
      CertAddCertificateContextToStore(c.extraStore, c.extraRoot, CERT_STORE_ADD_ALWAYS, nullptr);
  }
}

HttpClient::~HttpClient() {
  Impl& c = *m_impl;
  c.CloseRequest();
  if (c.connect != nullptr) WinHttpCloseHandle(c.connect);
  if (c.session != nullptr) WinHttpCloseHandle(c.session);
  if (c.extraStore != nullptr) CertCloseStore(c.extraStore, 0);
  if (c.extraRoot != nullptr) CertFreeCertificateContext(c.extraRoot);
}

HttpAnswer HttpClient::Post(const std::string& body, const std::string& idempotencyKey,
                            std::chrono::milliseconds limit) {
  Impl& c = *m_impl;
  HttpAnswer answer;
  const auto deadline = Clock::now() + limit;
  const auto left = [&] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(1, ms.count()));
  };
  HINTERNET request = nullptr;
  {
    std::lock_guard lock(c.mutex);
    if (c.aborted || c.connect == nullptr) {
      answer.error = c.aborted ? "stopped" : ErrorText(GetLastError());
      return answer;
    }
    if (c.secure && c.extraRoot == nullptr && c.extraStore != nullptr) {
      answer.error = "the extra certificate could not be read";
      return answer;
    }
    c.request =
        WinHttpOpenRequest(c.connect, L"POST", c.target.c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, c.secure ? WINHTTP_FLAG_SECURE : 0);
    request = c.request;
    c.untrusted = false;
  }
  if (request == nullptr) {
    answer.error = ErrorText(GetLastError());
    return answer;
  }
  WinHttpSetTimeouts(request, left(), left(), left(), left());
  if (c.extraRoot != nullptr) {
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&c);
    WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    WinHttpSetStatusCallback(request, &Impl::BeforeSending, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0);
  }
  const std::wstring headers = c.headers + L"Idempotency-Key: " + Widen(idempotencyKey) + L"\r\n";
  const DWORD size = static_cast<DWORD>(body.size());
  bool ok = WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1),
                               const_cast<char*>(body.data()), size, size, 0);
  if (ok) {
    int receive = left();
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
    ok = WinHttpReceiveResponse(request, nullptr);
  }
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (ok)
    ok = WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                             WINHTTP_NO_HEADER_INDEX);
  // The whole answer is read, so the connection can carry the next row.
  for (char buffer[4096]; ok;) {
    int receive = left();
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
    DWORD got = 0;
    ok = WinHttpReadData(request, buffer, sizeof buffer, &got);
    if (!ok || got == 0) break;
    if (answer.start.size() < kAnswerKept)
      answer.start.append(buffer, std::min<size_t>(got, kAnswerKept - answer.start.size()));
  }
  const DWORD error = GetLastError();
  if (status != 0) {
    answer.status = static_cast<int>(status);
  } else if (c.untrusted) {
    answer.error = ErrorText(ERROR_WINHTTP_SECURE_INVALID_CA);
  } else {
    answer.error = ErrorText(error);
  }
  c.CloseRequest();
  return answer;
}

void HttpClient::Abort() {
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->aborted = true;
  }
  m_impl->CloseRequest();
}
