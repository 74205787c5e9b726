// The texts of the HTTP client's result codes.
#include "transfer/http_error_text.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(HTTPGetErrorText, EveryCode) {
  HTTPGetRequest request;
  request.StatusCode = 404;
  request.FileName = "C:\\App\\Update\\x.mxu";
  struct {
    int32_t result;
    const char* text;
  } cases[] = {
      {HTTPGetErrOpen, "Error initializing the WININET.DLL API."},
      {HTTPGetErrConnect, "Error opening the session to the given site."},
      {HTTPGetErrProxyOptions, "Error setting the options for the proxy server."},
      {HTTPGetErrRequest, "Error creating the HTTP request handle."},
      {HTTPGetErrSend, "Error sending the HTTP request to the server."},
      {HTTPGetErrQueryStatus, "Error retrieving the HTTP status code."},
      {HTTPGetErrRead, "Error reading data from the opened session."},
      {HTTPGetErrClose, "Error closing the Internet handle."},
      {HTTPGetErrAuthOptions, "Error setting the options for basic authentication."},
      {HTTPGetErrStatus, "HTTP status code = 404"},
      {HTTPGetErrCreateFile, "Cannot create the file C:\\App\\Update\\x.mxu"},
      {HTTPGetErrWrite, "Error writing to the file C:\\App\\Update\\x.mxu"},
      {HTTPGetErrMemory, "Out of memory."},
      {HTTPGetErrAborted, "Download aborted."},
      {HTTPGetErrArgument, "Unexpected error = 32769"},
      {HTTPGetErrURL, "Unexpected error = 32772"},
      {HTTPGetOK, "Unexpected error = 1"},
      {-7, "Unexpected error = -7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    EXPECT_EQ(HTTPGetErrorText(c.result, request), c.text);
  }
}

TEST(HTTPGetErrorText, NegativeStatusAndEmptyName) {
  HTTPGetRequest request;
  request.StatusCode = -1;
  EXPECT_EQ(HTTPGetErrorText(HTTPGetErrStatus, request), "HTTP status code = -1");
  EXPECT_EQ(HTTPGetErrorText(HTTPGetErrCreateFile, request), "Cannot create the file ");
}

}  // namespace
}  // namespace updater
