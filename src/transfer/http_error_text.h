// The one-line English texts of the HTTP client's result codes, which callers
// print after "Error: ". HTTPGetErrorText itself is declared in http_get.h.
#pragma once

#include "system/report.h"
#include "transfer/http_get.h"

namespace updater {

// The line every download site prints for a failed request: "Error: "
// followed by HTTPGetErrorText, with the request's failure cause for the log.
void ReportHTTPGetFailure(Report& report, HTTPGetResult result, const HTTPGetRequest& request);

}  // namespace updater
