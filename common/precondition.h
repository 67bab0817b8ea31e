#ifndef SAP_HANA_PRECONDITION_H
#define SAP_HANA_PRECONDITION_H

#include <ace/Log_Msg.h>

/// Logs a violated precondition at emergency priority and makes the calling
/// operation return `result`. `arg` is a C string that must be non-null and
/// non-empty; its name appears in the message:
///   Unexpected error in <file>:<line>, sid is NULL or "":
///   <call stack>
#define HANA_REQUIRE_NONEMPTY(arg, result)                                                               \
  do {                                                                                                   \
    if ((arg) == nullptr || *(arg) == '\0') {                                                            \
      ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, " #arg " is NULL or \"\":\n%?\n"))); \
      return result;                                                                                     \
    }                                                                                                    \
  } while (0)

#endif
