// The one HTTP GET client through which every file is fetched, into a file
// or into memory, described and answered by one request record.
#pragma once

#include "system/platform.h"
#include "system/report.h"
#include "transfer/http_get_request.h"

namespace updater {

// Performs one GET as `request` describes and returns a result code.
//
// Beyond the record's own rules:
// - A file target is written to PartPath(FileName) (FileName + ".part"), which
//   replaces FileName only once the whole body is in it; after a failure it
//   is deleted and an existing FileName stays as it was. When the temporary
//   file cannot be created, or cannot replace FileName, the result is
//   HTTPGetResult::ErrCreateFile (its text names FileName).
// - Time limits (Request.Limits; the shipped values in brackets): a
//   connection not made within ConnectMilliseconds (30 s), or a response
//   whose headers do not arrive within ResponseMilliseconds (30 s) of the
//   request, is HTTPGetResult::ErrSend; a body that brings fewer than 1,024
//   bytes in any window of RateWindowMilliseconds (30 s), or, after its first
//   window, fewer than 1,024 bytes a second on average since it began, is
//   HTTPGetResult::ErrRead. With TotalTimeLimitMilliseconds, a call whose
//   time runs out is HTTPGetResult::ErrSend before the response headers and
//   HTTPGetResult::ErrRead after them. The client tells the platform's
//   request when each wait must end (HttpRequest::SetDeadline), so no wait
//   outlasts a rule; FailureCause says which limit ran out. A body that
//   failed a time rule is not asked for again.
// - A file download cut after some of its body arrived is resumed on the
//   same connection, up to 3 times, after waits of 1, 2 and 4 s on the
//   platform clock (cut short by the total time limit), when the first answer announced the
//   body's length and named a validator (a strong ETag, else Last-Modified):
//   a Range request for the rest carries it in If-Range. A 206 with the
//   same validator and the matching Content-Range appends; a 200 starts the
//   body over, and so does a 206 with another validator (or none), after a
//   plain request for the whole body (a server that ignores If-Range would
//   splice two versions); any other answer ends the call with the cut's
//   HTTPGetResult::ErrRead. A cut file that cannot be resumed so (no
//   validator, no announced length, or nothing received yet) is asked for
//   again whole with a plain request and started over, within the same 3
//   attempts. A body into memory is never asked for again.
// - HTTPGetTarget::Memory: the body's buffer grows by doubling, up to the announced
//   length and one read more.
HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request);
// The same, with one log record of the request in `report`: the URL with its
// password masked, the status, the body bytes received, the milliseconds
// taken, and the result text of a failure; and one record before each resume.
HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request, Report& report);

}  // namespace updater
