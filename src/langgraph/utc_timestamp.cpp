#include "langgraph/utc_timestamp.hpp"

#include <cstddef>

namespace derirezaro::langgraph {

namespace {

constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddddd+00:00";
constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kSecondsPerDay = 86'400;

bool digit(char c) { return c >= '0' && c <= '9'; }

// The number the digits at [at, at + count) spell; the shape was checked first.
int64_t number(std::string_view text, size_t at, size_t count) {
  int64_t value = 0;
  for (size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

bool leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int64_t days_in_month(int64_t year, int64_t month) {
  constexpr int64_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar
// (the civil-from-days arithmetic run backwards, eras of 400 years).
int64_t days_since_epoch(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146'097 + day_of_era - 719'468;
}

}  // namespace

std::optional<int64_t> round_trip_micros(std::string_view text) {
  if (text.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == 'd' ? !digit(text[i]) : text[i] != kShape[i]) return std::nullopt;
  }
  const int64_t micros = number(text, 20, 6);
  if (micros == 0) return std::nullopt;
  const int64_t year = number(text, 0, 4), month = number(text, 5, 2), day = number(text, 8, 2);
  const int64_t hour = number(text, 11, 2), minute = number(text, 14, 2), second = number(text, 17, 2);
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  const int64_t seconds =
      days_since_epoch(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return seconds * kMicrosPerSecond + micros;
}

}  // namespace derirezaro::langgraph
