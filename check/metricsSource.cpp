#include "check/metricsSource.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>

#include "support/posixIo.h"

namespace kivo {

namespace {

// Far above any exposition of the daemon; a larger answer is not its.
const size_t kLargestAnswer = 16 * 1024 * 1024;

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

size_t appendAnswer(char* data, size_t size, size_t count, void* target) {
  std::string& text = *static_cast<std::string*>(target);
  size_t bytes = size * count;
  if (text.size() + bytes > kLargestAnswer) return 0;  // ends the transfer with an error
  text.append(data, bytes);
  return bytes;
}

MetricsRead failed(const std::string& error) {
  MetricsRead read;
  read.error = error;
  return read;
}

}  // namespace

MetricsRead readMetricsFile(const std::string& path, double now) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return failed(errnoText(errno));
  struct stat status;
  if (::fstat(file.get(), &status) != 0) return failed(errnoText(errno));
  MetricsRead read;
  int error = readAll(file.get(), read.text);
  if (error != 0) return failed(errnoText(error));
  double written = static_cast<double>(status.st_mtim.tv_sec) + status.st_mtim.tv_nsec / 1e9;
  read.age = now > written ? now - written : 0;
  read.ok = true;
  return read;
}

std::string metricsUrl(const std::string& host, int port) {
  bool bare6 = host.find(':') != std::string::npos && host.front() != '[';
  return "http://" + (bare6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/metrics";
}

MetricsRead fetchMetrics(const std::string& url, long timeoutSeconds) {
  // Once per process, whichever thread comes first.
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) return failed(curl_easy_strerror(initialised));
  std::unique_ptr<CURL, EasyCleanup> handle(curl_easy_init());
  if (!handle) return failed("libcurl could not be set up");
  MetricsRead read;
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, timeoutSeconds);
  // No SIGALRM for name lookups: the check may run on any thread.
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, appendAnswer);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &read.text);
  CURLcode result = curl_easy_perform(handle.get());
  if (result != CURLE_OK) return failed(*error != '\0' ? error : curl_easy_strerror(result));
  long status = 0;
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return failed("HTTP status " + std::to_string(status));
  read.ok = true;
  return read;
}

}  // namespace kivo
