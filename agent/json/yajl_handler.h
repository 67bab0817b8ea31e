#ifndef AGENT_YAJL_HANDLER_H
#define AGENT_YAJL_HANDLER_H

#include <cstddef>
#include <string>

/// Event-driven JSON parser base over libyajl: parse() feeds the text to
/// yajl, which calls one slot per event. Every slot returns non-zero to go
/// on and 0 to stop the parse (yajl's callback convention); the base slots
/// accept and ignore their event. Numbers always arrive as text through
/// handle_number_i() (the integer and double slots exist for derived
/// handlers that want them but yajl does not call them here), strings and
/// keys as UTF-8 bytes that are not NUL-terminated.
///
/// A handler is used for one document: parse() once, then read its result.
/// Not synchronised.
class YAJL_Handler {
 public:
  YAJL_Handler() = default;
  virtual ~YAJL_Handler();
  YAJL_Handler(const YAJL_Handler&) = delete;
  YAJL_Handler& operator=(const YAJL_Handler&) = delete;

  /// Parses the whole of `text` (one JSON value; comments are not allowed).
  /// Arrays and objects nested deeper than kMaxJsonDepth stop the parse
  /// there (result 1, `error` says so). 0 on success. Otherwise `error` gets a readable message and the result
  /// is error_code() when a slot stopped the parse and that code is not 0,
  /// else 1 (malformed or truncated text, or a slot stopping without a code).
  int parse(const char* text, std::size_t len, std::string& error);

  /// The handler's own code for why it stopped the parse; base: 0 (none).
  virtual int error_code() const;

 protected:
  virtual int handle_null_i();
  virtual int handle_boolean_i(int value);
  virtual int handle_integer_i(long long value);
  virtual int handle_double_i(double value);
  virtual int handle_number_i(const char* text, std::size_t len);
  virtual int handle_string_i(const unsigned char* text, std::size_t len);
  virtual int handle_start_map_i();
  virtual int handle_map_key_i(const unsigned char* text, std::size_t len);
  virtual int handle_end_map_i();
  virtual int handle_start_array_i();
  virtual int handle_end_array_i();

 private:
  friend struct YAJL_Handler_Callbacks;
  int depth_ = 0;
  bool too_deep_ = false;
};

#endif
