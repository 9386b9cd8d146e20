#ifndef ZTV_TESTS_SUPPORT_TEXT_PRINT_H
#define ZTV_TESTS_SUPPORT_TEXT_PRINT_H

// GoogleTest prints the program's text types as text in a failure message
// (it finds these by argument-dependent lookup), and tests convert them to
// std::string where they build or search text.

#include <ostream>
#include <string>

#include "base/heap_text.h"
#include "base/text_view.h"

inline std::string str(TextView text) { return std::string(text.data, text.size); }
inline std::string str(const HeapText& text) { return str(text.view()); }

inline void PrintTo(TextView text, std::ostream* out) { *out << '"' << str(text) << '"'; }
inline void PrintTo(const HeapText& text, std::ostream* out) { PrintTo(text.view(), out); }

#endif  // ZTV_TESTS_SUPPORT_TEXT_PRINT_H
