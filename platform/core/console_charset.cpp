#include "core/console_charset.h"

#include <strings.h>

namespace keyhold {
namespace {

bool IsOneOf(std::string_view codeset, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (codeset.size() == std::string_view(name).size() &&
            strncasecmp(codeset.data(), name, codeset.size()) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::string ConsoleTargetCharset(std::string_view codeset) {
    if (codeset.empty() || IsOneOf(codeset, {"UTF-8", "UTF8", "ANSI_X3.4-1968", "C", "POSIX", "ASCII", "US-ASCII"}))
        return {};
    // All Shift-JIS flavours get the exact bytes of code page 932, the
    // character set the texts were written for (its extensions included).
    if (IsOneOf(codeset, {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "WINDOWS-31J", "MS932"})) return "CP932";
    return std::string(codeset) + "//TRANSLIT";
}

}  // namespace keyhold
