#pragma once
// Date-time values as the program keeps them: a double counting days since
// 1899-12-30 00:00, the time of day as the fraction (negative values keep the
// fraction's magnitude as the time: -1.25 is 1899-12-29 06:00). No time zone is
// attached: the value is the wall-clock reading it was made from. 0 is the
// "no date" sentinel callers compare against.
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <cmath>
#include <cstdint>

using TDateTime = double;

namespace tdatetime_detail {
inline const QDate& Epoch() {
  static const QDate epoch(1899, 12, 30);
  return epoch;
}
constexpr int64_t kMsPerDay = 86400000;
}  // namespace tdatetime_detail

// The value for a calendar date and time; false (out untouched) when a field is out
// of range: year 1..9999, a real day of the month, hour 0..23, minute and second
// 0..59, msec 0..999.
inline bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec,
                              TDateTime& out) {
  if (year < 1 || year > 9999 || !QDate::isValid(year, month, day)) return false;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 || msec > 999)
    return false;
  const double days = static_cast<double>(tdatetime_detail::Epoch().daysTo(QDate(year, month, day)));
  const double frac = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / tdatetime_detail::kMsPerDay;
  out = days >= 0 ? days + frac : days - frac;
  return true;
}

// The calendar reading of a value, to the nearest millisecond; an invalid QDateTime
// for a value outside years 1..9999 or not finite.
inline QDateTime ToQDateTime(TDateTime t, Qt::TimeSpec spec = Qt::LocalTime) {
  if (!std::isfinite(t) || std::fabs(t) > 3e6) return QDateTime();
  double whole = std::trunc(t);
  int64_t ms = std::llround(std::fabs(t - whole) * tdatetime_detail::kMsPerDay);
  int64_t days = static_cast<int64_t>(whole);
  if (ms >= tdatetime_detail::kMsPerDay) {  // rounding reached the next midnight
    ms -= tdatetime_detail::kMsPerDay;
    days += t >= 0 ? 1 : -1;
  }
  QDate d = tdatetime_detail::Epoch().addDays(days);
  if (!d.isValid() || d.year() < 1 || d.year() > 9999) return QDateTime();
  return QDateTime(d, QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)), spec);
}

// The value of a QDateTime's own date and time fields (no zone conversion); 0 for an
// invalid one.
inline TDateTime ToTDateTime(const QDateTime& dt) {
  if (!dt.isValid()) return 0;
  QDate d = dt.date();
  QTime tm = dt.time();
  TDateTime out = 0;
  TryEncodeDateTime(d.year(), d.month(), d.day(), tm.hour(), tm.minute(), tm.second(), tm.msec(), out);
  return out;
}

// Local wall-clock now.
inline TDateTime NowTDateTime() { return ToTDateTime(QDateTime::currentDateTime()); }
