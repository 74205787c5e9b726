// The one-line English texts of the HTTP client's result codes.
#include "transfer/http_error_text.h"

namespace updater {

std::string HTTPGetErrorText(HTTPGetResult result, const HTTPGetRequest& request) {
  using R = HTTPGetResult;
  switch (result) {
    case R::HTTPGetErrOpen:
      return "Error initializing the WININET.DLL API.";
    case R::HTTPGetErrConnect:
      return "Error opening the session to the given site.";
    case R::HTTPGetErrProxyOptions:
      return "Error setting the options for the proxy server.";
    case R::HTTPGetErrRequest:
      return "Error creating the HTTP request handle.";
    case R::HTTPGetErrSend:
      return "Error sending the HTTP request to the server.";
    case R::HTTPGetErrQueryStatus:
      return "Error retrieving the HTTP status code.";
    case R::HTTPGetErrRead:
      return "Error reading data from the opened session.";
    case R::HTTPGetErrClose:
      return "Error closing the Internet handle.";
    case R::HTTPGetErrAuthOptions:
      return "Error setting the options for basic authentication.";
    case R::HTTPGetErrStatus:
      return "HTTP status code = " + std::to_string(request.StatusCode);
    case R::HTTPGetErrCreateFile:
      return "Cannot create the file " + request.FileName;
    case R::HTTPGetErrWrite:
      return "Error writing to the file " + request.FileName;
    case R::HTTPGetErrMemory:
      return "Out of memory.";
    case R::HTTPGetErrAborted:
      return "Download aborted.";
    default:
      return "Unexpected error = " + std::to_string(static_cast<int32_t>(result));
  }
}

void ReportHTTPGetFailure(Report& report, HTTPGetResult result, const HTTPGetRequest& request) {
  report.Failure("Error: " + HTTPGetErrorText(result, request), request.FailureCause);
}

}  // namespace updater
