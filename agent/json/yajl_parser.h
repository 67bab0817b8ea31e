#ifndef AGENT_YAJL_PARSER_H
#define AGENT_YAJL_PARSER_H

#include <memory>

#include "agent/json/yajl_handler.h"

/// A YAJL_Handler that builds a T from the events of one document.
/// result() hands out what was built (a shared reference; null when the
/// parse failed before anything was made). Call it after parse() returned 0:
/// after a failed parse the result, if any, is incomplete.
template <typename T>
class YAJL_Parser : public YAJL_Handler {
 public:
  using result_type = T;
  virtual std::shared_ptr<T> result() = 0;
};

#endif
