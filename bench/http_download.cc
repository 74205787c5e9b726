// Downloads one URL into a file through the updater's HTTP client and prints
// the byte count, the seconds taken and the rate. Run by http_download.sh.
#include <chrono>
#include <cstdio>

#include "system/platform.h"
#include "transfer/http_error_text.h"
#include "transfer/http_get.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: http_download URL FILE\n");
    return 2;
  }
  updater::HTTPGetRequest request;
  request.URL = argv[1];
  request.Target = updater::HTTPGetTarget::File;
  request.FileName = argv[2];
  request.Agent = "Morvex Updater";
  auto start = std::chrono::steady_clock::now();
  updater::HTTPGetResult result = updater::HTTPGetFromWeb(updater::RealPlatform(), request);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result != updater::HTTPGetResult::Ok) {
    std::fprintf(stderr, "Error: %s\n", updater::HTTPGetErrorText(result, request).c_str());
    return 1;
  }
  std::printf("%lld bytes in %.3f s: %.1f MB/s\n", static_cast<long long>(request.ReceivedBytes),
              seconds, static_cast<double>(request.ReceivedBytes) / seconds / 1e6);
  return 0;
}
