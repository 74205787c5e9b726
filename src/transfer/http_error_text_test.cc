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
    HTTPGetResult Result;
    const char* Text;
  } cases[] = {
      {HTTPGetResult::HTTPGetErrOpen, "Error initializing the WININET.DLL API."},
      {HTTPGetResult::HTTPGetErrConnect, "Error opening the session to the given site."},
      {HTTPGetResult::HTTPGetErrProxyOptions, "Error setting the options for the proxy server."},
      {HTTPGetResult::HTTPGetErrRequest, "Error creating the HTTP request handle."},
      {HTTPGetResult::HTTPGetErrSend, "Error sending the HTTP request to the server."},
      {HTTPGetResult::HTTPGetErrQueryStatus, "Error retrieving the HTTP status code."},
      {HTTPGetResult::HTTPGetErrRead, "Error reading data from the opened session."},
      {HTTPGetResult::HTTPGetErrClose, "Error closing the Internet handle."},
      {HTTPGetResult::HTTPGetErrAuthOptions, "Error setting the options for basic authentication."},
      {HTTPGetResult::HTTPGetErrStatus, "HTTP status code = 404"},
      {HTTPGetResult::HTTPGetErrCreateFile, "Cannot create the file C:\\App\\Update\\x.mxu"},
      {HTTPGetResult::HTTPGetErrWrite, "Error writing to the file C:\\App\\Update\\x.mxu"},
      {HTTPGetResult::HTTPGetErrMemory, "Out of memory."},
      {HTTPGetResult::HTTPGetErrAborted, "Download aborted."},
      {HTTPGetResult::HTTPGetErrArgument, "Unexpected error = 32769"},
      {HTTPGetResult::HTTPGetErrURL, "Unexpected error = 32772"},
      {HTTPGetResult::HTTPGetOK, "Unexpected error = 1"},
      {static_cast<HTTPGetResult>(-7), "Unexpected error = -7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int32_t>(c.Result));
    EXPECT_EQ(HTTPGetErrorText(c.Result, request), c.Text);
  }
}

TEST(HTTPGetErrorText, NegativeStatusAndEmptyName) {
  HTTPGetRequest request;
  request.StatusCode = -1;
  EXPECT_EQ(HTTPGetErrorText(HTTPGetResult::HTTPGetErrStatus, request), "HTTP status code = -1");
  EXPECT_EQ(HTTPGetErrorText(HTTPGetResult::HTTPGetErrCreateFile, request),
            "Cannot create the file ");
}

}  // namespace
}  // namespace updater
