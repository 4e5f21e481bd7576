// How console texts are recoded for the locale's character set.
#ifndef KEYHOLD_CORE_CONSOLE_CHARSET_H
#define KEYHOLD_CORE_CONSOLE_CHARSET_H

#include <string>
#include <string_view>

namespace keyhold {

// The iconv target for UTF-8 text under a locale whose nl_langinfo(CODESET) is
// `codeset`; empty when UTF-8 is printed unchanged (UTF-8 itself, or the
// C/POSIX locale's ASCII, where nothing better than UTF-8 exists).
std::string ConsoleTargetCharset(std::string_view codeset);

}  // namespace keyhold

#endif
