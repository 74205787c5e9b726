// The one-line English texts of the HTTP client's result codes, which callers
// print after "Error: ". HTTPGetErrorText itself is declared in http_get.h.
#pragma once

#include "transfer/http_get.h"
