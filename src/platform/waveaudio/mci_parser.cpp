// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/waveaudio/mci_parser.h"

#include "platform/waveaudio/mci_messages.h"

namespace platform::mci {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

MCIERROR splitWords(std::string_view command, std::vector<Word>& words) {
  words.clear();
  if (command.size() > kMaxCommandLength) return MCIERR_PARAM_OVERFLOW;
  std::size_t i = 0;
  const std::size_t n = command.size();
  while (i < n) {
    while (i < n && isBlank(command[i])) ++i;
    if (i == n) break;
    Word w;
    if (command[i] == '"') {
      const std::size_t close = command.find('"', i + 1);
      if (close == std::string_view::npos) {
        words.clear();
        return MCIERR_NO_CLOSING_QUOTE;
      }
      w.text.assign(command.substr(i + 1, close - i - 1));
      w.quoted = true;
      i = close + 1;
      if (i < n && !isBlank(command[i])) {
        words.clear();
        return MCIERR_EXTRA_CHARACTERS;
      }
    } else {
      const std::size_t start = i;
      while (i < n && !isBlank(command[i])) ++i;
      w.text.assign(command.substr(start, i - start));
    }
    words.push_back(std::move(w));
  }
  return 0;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool isKeyword(const Word& w, std::string_view kw) { return !w.quoted && equalsNoCase(w.text, kw); }

MCIERROR parseInteger(const Word& w, uint32_t& value) {
  if (w.text.empty() || w.text.size() > 10) return MCIERR_BAD_INTEGER;
  uint64_t v = 0;
  for (char c : w.text) {
    if (c < '0' || c > '9') return MCIERR_BAD_INTEGER;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return MCIERR_BAD_INTEGER;
  value = static_cast<uint32_t>(v);
  return 0;
}

}  // namespace platform::mci
