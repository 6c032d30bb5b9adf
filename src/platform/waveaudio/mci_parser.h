// SPDX-License-Identifier: GPL-3.0-or-later
// Word splitting and value parsing for MCI command strings.
//
// A command is a list of words separated by runs of blanks (space, tab, CR,
// LF).  A word that starts with a double quote runs to the next double quote,
// may contain blanks, and loses its quotes; it must be followed by a blank or
// the end.  Keywords are matched without regard to case.
#pragma once

#include "platform/winapi.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::mci {

struct Word {
  std::string text;
  bool quoted = false;   // written in double quotes: always a value, never a keyword
};

// Longest command accepted, in bytes.
constexpr std::size_t kMaxCommandLength = 64 * 1024;

// Splits command into words.  Returns 0, or MCIERR_NO_CLOSING_QUOTE,
// MCIERR_EXTRA_CHARACTERS (text glued to a closing quote) or
// MCIERR_PARAM_OVERFLOW (command too long); words is then left empty.
MCIERROR splitWords(std::string_view command, std::vector<Word>& words);

// True when w is the unquoted keyword kw (ASCII, any case).
bool isKeyword(const Word& w, std::string_view kw);

// ASCII case-insensitive equality, for device names.
bool equalsNoCase(std::string_view a, std::string_view b);

// A decimal integer from 0 to 4294967295 (an MCI DWORD).  Returns 0 or
// MCIERR_BAD_INTEGER.
MCIERROR parseInteger(const Word& w, uint32_t& value);

}  // namespace platform::mci
