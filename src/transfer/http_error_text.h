// The one-line English texts of the HTTP client's result codes, which callers
// print after "Error: ".
#pragma once

#include <string>

#include "system/report.h"
#include "transfer/http_get_request.h"

namespace updater {

// The one-line English text for a result code of `request`.
std::string HTTPGetErrorText(HTTPGetResult result, const HTTPGetRequest& request);

// The line every download site prints for a failed request: "Error: "
// followed by HTTPGetErrorText, with the request's failure cause for the log.
void ReportHTTPGetFailure(Report& report, HTTPGetResult result, const HTTPGetRequest& request);

}  // namespace updater
