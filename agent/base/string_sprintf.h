#ifndef AGENT_STRING_SPRINTF_H
#define AGENT_STRING_SPRINTF_H

#include <cstdarg>
#include <string>

/// printf-style formatting into a std::string of whatever length is needed.
std::string string_sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string string_vsprintf(const char* format, va_list ap);

#endif
