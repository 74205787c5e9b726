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
      {HTTPGetResult::ErrOpen, "Error initializing the WININET.DLL API."},
      {HTTPGetResult::ErrConnect, "Error opening the session to the given site."},
      {HTTPGetResult::ErrProxyOptions, "Error setting the options for the proxy server."},
      {HTTPGetResult::ErrRequest, "Error creating the HTTP request handle."},
      {HTTPGetResult::ErrSend, "Error sending the HTTP request to the server."},
      {HTTPGetResult::ErrQueryStatus, "Error retrieving the HTTP status code."},
      {HTTPGetResult::ErrRead, "Error reading data from the opened session."},
      {HTTPGetResult::ErrClose, "Error closing the Internet handle."},
      {HTTPGetResult::ErrAuthOptions, "Error setting the options for basic authentication."},
      {HTTPGetResult::ErrStatus, "HTTP status code = 404"},
      {HTTPGetResult::ErrCreateFile, "Cannot create the file C:\\App\\Update\\x.mxu"},
      {HTTPGetResult::ErrWrite, "Error writing to the file C:\\App\\Update\\x.mxu"},
      {HTTPGetResult::ErrMemory, "Out of memory."},
      {HTTPGetResult::ErrAborted, "Download aborted."},
      {HTTPGetResult::ErrArgument, "Unexpected error = 32769"},
      {HTTPGetResult::ErrURL, "Unexpected error = 32772"},
      {HTTPGetResult::Ok, "Unexpected error = 1"},
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
  EXPECT_EQ(HTTPGetErrorText(HTTPGetResult::ErrStatus, request), "HTTP status code = -1");
  EXPECT_EQ(HTTPGetErrorText(HTTPGetResult::ErrCreateFile, request), "Cannot create the file ");
}

}  // namespace
}  // namespace updater
