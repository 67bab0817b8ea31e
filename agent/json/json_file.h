#ifndef AGENT_JSON_FILE_H
#define AGENT_JSON_FILE_H

#include <sys/types.h>

#include <string>

#include "agent/json/json_access.h"

/// Parses the file at `path` into `value`. False (value unchanged) when the
/// file cannot be read or is not valid JSON; `error`, when given, says why.
bool load_json(const std::string& path, json_value& value, std::string* error = nullptr);
/// Deepest nesting of arrays and objects that the parsers here accept: text
/// from outside (a request, a file) cannot make the recursive copies and
/// writers of its values run out of stack.
constexpr int kMaxJsonDepth = 100;
/// What parse_json() found.
enum class Json_Parse { OK, MALFORMED, TOO_DEEP };
/// Parses `text` into `value` (unchanged unless OK), refusing nesting deeper
/// than kMaxJsonDepth as soon as the parser reaches it; `error`, when given,
/// says why.
Json_Parse parse_json(const std::string& text, json_value& value, std::string* error = nullptr);
/// parse_json() as a bool: false (value unchanged) when it is not JSON or is
/// nested too deeply.
bool loads_json(const std::string& text, json_value& value, std::string* error = nullptr);
/// Writes `value` to `path` with `mode`, atomically: the text goes to a
/// temporary file in the same directory, is fsync'ed and renamed over the
/// target, so a crash or a failed write never leaves a half-written file and
/// never destroys the old one. `indent` < 0 writes one line.
bool dump_json(const std::string& path, const json_value& value, mode_t mode = 0640, int indent = 2);

/// Atomically replaces `path` with `data` (same guarantees as dump_json).
/// True only when the data and the directory entry are both synced; false
/// (errno set) also when the rename happened but the directory sync failed,
/// in which case `path` may already hold the new data.
bool write_file_atomic(const std::string& path, const std::string& data, mode_t mode);

#endif
