// UTC timestamps for stored records and the access log.
// Stateless and thread-safe (gmtime_r); never throws except std::bad_alloc.
#pragma once

#include <string>

namespace norviai::service {

// Current UTC time as ISO-8601 with microseconds, e.g. "2024-05-01T12:34:56.123456Z".
std::string utc_now_iso8601();

}  // namespace norviai::service
