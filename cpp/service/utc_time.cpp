#include "service/utc_time.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace norviai::service {

std::string utc_now_iso8601() {
  using std::chrono::duration_cast;
  using std::chrono::microseconds;
  using std::chrono::seconds;
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto whole = duration_cast<seconds>(since_epoch);
  const auto micros = duration_cast<microseconds>(since_epoch - whole).count();
  const std::time_t time = static_cast<std::time_t>(whole.count());
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[96];  // room for any int the compiler cannot rule out
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long>(micros));
  return text;
}

}  // namespace norviai::service
