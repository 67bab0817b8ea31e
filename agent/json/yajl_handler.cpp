#include "agent/json/yajl_handler.h"

#include <yajl/yajl_parse.h>

#include "agent/json/json_file.h"

struct YAJL_Handler_Callbacks {
  static YAJL_Handler* h(void* ctx) { return static_cast<YAJL_Handler*>(ctx); }
  static int null_cb(void* c) { return h(c)->handle_null_i(); }
  static int boolean_cb(void* c, int v) { return h(c)->handle_boolean_i(v); }
  static int integer_cb(void* c, long long v) { return h(c)->handle_integer_i(v); }
  static int double_cb(void* c, double v) { return h(c)->handle_double_i(v); }
  static int number_cb(void* c, const char* t, size_t n) { return h(c)->handle_number_i(t, n); }
  static int string_cb(void* c, const unsigned char* t, size_t n) { return h(c)->handle_string_i(t, n); }
  // Handlers build their values recursively: nesting is bounded before
  // they see it.
  static bool enter(void* c) {
    if (++h(c)->depth_ <= kMaxJsonDepth) return true;
    h(c)->too_deep_ = true;
    return false;
  }
  static int start_map_cb(void* c) { return enter(c) ? h(c)->handle_start_map_i() : 0; }
  static int map_key_cb(void* c, const unsigned char* t, size_t n) { return h(c)->handle_map_key_i(t, n); }
  static int end_map_cb(void* c) { return --h(c)->depth_, h(c)->handle_end_map_i(); }
  static int start_array_cb(void* c) { return enter(c) ? h(c)->handle_start_array_i() : 0; }
  static int end_array_cb(void* c) { return --h(c)->depth_, h(c)->handle_end_array_i(); }
};

namespace {

// yajl_number set: integers and doubles arrive as their text, so no value
// is ever rounded or clipped before a handler sees it.
const yajl_callbacks kCallbacks = {
    YAJL_Handler_Callbacks::null_cb,        YAJL_Handler_Callbacks::boolean_cb,   YAJL_Handler_Callbacks::integer_cb,
    YAJL_Handler_Callbacks::double_cb,      YAJL_Handler_Callbacks::number_cb,    YAJL_Handler_Callbacks::string_cb,
    YAJL_Handler_Callbacks::start_map_cb,   YAJL_Handler_Callbacks::map_key_cb,   YAJL_Handler_Callbacks::end_map_cb,
    YAJL_Handler_Callbacks::start_array_cb, YAJL_Handler_Callbacks::end_array_cb,
};

}  // namespace

YAJL_Handler::~YAJL_Handler() = default;

int YAJL_Handler::parse(const char* text, std::size_t len, std::string& error) {
  yajl_handle parser = yajl_alloc(&kCallbacks, nullptr, this);
  if (parser == nullptr) {
    error = "out of memory";
    return 1;
  }
  yajl_status status = yajl_parse(parser, reinterpret_cast<const unsigned char*>(text), len);
  if (status == yajl_status_ok) status = yajl_complete_parse(parser);
  int result = 0;
  if (status == yajl_status_client_canceled && too_deep_) {
    error = "JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    result = 1;
  } else if (status == yajl_status_client_canceled) {
    int code = error_code();
    error = "JSON rejected by its parser" + (code != 0 ? " (code " + std::to_string(code) + ")" : std::string());
    result = code != 0 ? code : 1;
  } else if (status != yajl_status_ok) {
    unsigned char* why = yajl_get_error(parser, 0, reinterpret_cast<const unsigned char*>(text), len);
    error = why != nullptr ? reinterpret_cast<const char*>(why) : "malformed JSON";
    if (why != nullptr) yajl_free_error(parser, why);
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    result = 1;
  }
  yajl_free(parser);
  return result;
}

int YAJL_Handler::error_code() const { return 0; }
int YAJL_Handler::handle_null_i() { return 1; }
int YAJL_Handler::handle_boolean_i(int) { return 1; }
int YAJL_Handler::handle_integer_i(long long) { return 1; }
int YAJL_Handler::handle_double_i(double) { return 1; }
int YAJL_Handler::handle_number_i(const char*, std::size_t) { return 1; }
int YAJL_Handler::handle_string_i(const unsigned char*, std::size_t) { return 1; }
int YAJL_Handler::handle_start_map_i() { return 1; }
int YAJL_Handler::handle_map_key_i(const unsigned char*, std::size_t) { return 1; }
int YAJL_Handler::handle_end_map_i() { return 1; }
int YAJL_Handler::handle_start_array_i() { return 1; }
int YAJL_Handler::handle_end_array_i() { return 1; }
