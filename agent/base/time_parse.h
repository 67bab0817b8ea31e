#ifndef AGENT_TIME_PARSE_H
#define AGENT_TIME_PARSE_H

#include <ctime>

/// Parses `text` with the strptime `format`. Fractional seconds right after
/// the seconds field (".000") are skipped. When the format has "%z" the
/// parsed offset ("Z", "+hhmm", "+hh:mm") applies; otherwise the text is
/// local time. False when the text does not match.
bool local_to_posix_time(const char* text, const char* format, time_t& result);

/// Parses an ISO 8601 date and time ("2020-08-21T10:00:00", "T" or a blank
/// between date and time, optional fraction, optional "Z" or numeric
/// offset; without a zone the time is UTC). False when it does not match.
bool iso8601_to_posix_time(const char* text, time_t& result);

#endif
