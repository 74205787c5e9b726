// The one-line English texts of the HTTP client's result codes.
#include "transfer/http_error_text.h"

namespace updater {

std::string HTTPGetErrorText(HTTPGetResult result, const HTTPGetRequest& request) {
  using R = HTTPGetResult;
  switch (result) {
    case R::ErrOpen:
      return "Error initializing the WININET.DLL API.";
    case R::ErrConnect:
      return "Error opening the session to the given site.";
    case R::ErrProxyOptions:
      return "Error setting the options for the proxy server.";
    case R::ErrRequest:
      return "Error creating the HTTP request handle.";
    case R::ErrSend:
      return "Error sending the HTTP request to the server.";
    case R::ErrQueryStatus:
      return "Error retrieving the HTTP status code.";
    case R::ErrRead:
      return "Error reading data from the opened session.";
    case R::ErrClose:
      return "Error closing the Internet handle.";
    case R::ErrAuthOptions:
      return "Error setting the options for basic authentication.";
    case R::ErrStatus:
      return "HTTP status code = " + std::to_string(request.StatusCode);
    case R::ErrCreateFile:
      return "Cannot create the file " + request.FileName;
    case R::ErrWrite:
      return "Error writing to the file " + request.FileName;
    case R::ErrMemory:
      return "Out of memory.";
    case R::ErrAborted:
      return "Download aborted.";
    default:
      return "Unexpected error = " + std::to_string(static_cast<int32_t>(result));
  }
}

void ReportHTTPGetFailure(Report& report, HTTPGetResult result, const HTTPGetRequest& request) {
  report.Failure("Error: " + HTTPGetErrorText(result, request), request.FailureCause);
}

}  // namespace updater
