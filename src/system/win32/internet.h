// The HTTP client on Windows: WinINet, synchronous.
#pragma once

#include "system/internet.h"
#include "system/win32/system_error.h"

namespace updater {

class WinInetInternet : public Internet {
 public:
  std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options) override;
  std::string LastError() override { return *cause_; }

 private:
  CauseRecord cause_ = NewCauseRecord();
};

}  // namespace updater
