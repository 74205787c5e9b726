// The one-line English texts of the HTTP client's result codes.
#include "transfer/http_error_text.h"

namespace updater {

std::string HTTPGetErrorText(int32_t result, const HTTPGetRequest& request) {
  switch (result) {
    case HTTPGetErrOpen:
      return "Error initializing the WININET.DLL API.";
    case HTTPGetErrConnect:
      return "Error opening the session to the given site.";
    case HTTPGetErrProxyOptions:
      return "Error setting the options for the proxy server.";
    case HTTPGetErrRequest:
      return "Error creating the HTTP request handle.";
    case HTTPGetErrSend:
      return "Error sending the HTTP request to the server.";
    case HTTPGetErrQueryStatus:
      return "Error retrieving the HTTP status code.";
    case HTTPGetErrRead:
      return "Error reading data from the opened session.";
    case HTTPGetErrClose:
      return "Error closing the Internet handle.";
    case HTTPGetErrAuthOptions:
      return "Error setting the options for basic authentication.";
    case HTTPGetErrStatus:
      return "HTTP status code = " + std::to_string(request.StatusCode);
    case HTTPGetErrCreateFile:
      return "Cannot create the file " + request.FileName;
    case HTTPGetErrWrite:
      return "Error writing to the file " + request.FileName;
    case HTTPGetErrMemory:
      return "Out of memory.";
    case HTTPGetErrAborted:
      return "Download aborted.";
    default:
      return "Unexpected error = " + std::to_string(result);
  }
}

}  // namespace updater
