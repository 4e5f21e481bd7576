#include <windows.h>

#include <cstring>
#include <string>
#include <string_view>

#include "core/message_table.h"
#include "core/guard.h"

namespace {

constexpr DWORD kSupportedFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                  FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK;
constexpr DWORD kLangEnglish = 0x09;

// Our texts are English only: the neutral and default languages, the user's
// and the system's default (0x400, 0x800) and any English sublanguage.
bool LanguageAvailable(DWORD lang) {
    if (lang == 0 || lang == 0x400 || lang == 0x800) return true;
    return lang <= 0xFFFF && (lang & 0x3FF) == kLangEnglish;
}

// A width between 1 and 254 asks for lines of at most that many characters,
// broken at spaces; 0 and 0xFF leave our one-line texts as they are.
std::string Wrap(std::string_view text, DWORD width) {
    if (width == 0 || width == FORMAT_MESSAGE_MAX_WIDTH_MASK) return std::string(text);
    std::string out;
    size_t lineLength = 0;
    while (!text.empty()) {
        const size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
        if (lineLength > 0 && lineLength + 1 + word.size() > width) {
            out += "\r\n";
            lineLength = 0;
        } else if (lineLength > 0) {
            out += ' ';
            ++lineLength;
        }
        out += word;
        lineLength += word.size();
    }
    return out;
}

}  // namespace

extern "C" DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                LPSTR lpBuffer, DWORD nSize, void* Arguments) {
    return keyhold::GuardedCall<DWORD>(0, [&]() -> DWORD {
        (void)lpSource;   // only meaningful with FROM_STRING / FROM_HMODULE, which are refused
        (void)Arguments;  // our texts have no inserts
        const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
        // Whatever happens below, an allocating caller never sees a stale pointer.
        if (allocate && lpBuffer != nullptr) *reinterpret_cast<char**>(lpBuffer) = nullptr;

        if ((dwFlags & ~kSupportedFlags) != 0 || (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const char* found = keyhold::SystemMessageText(dwMessageId);
        if (found == nullptr) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        if (!LanguageAvailable(dwLanguageId)) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        const std::string text = Wrap(found, dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK);
        const size_t needed = text.size() + 1;

        char* target = lpBuffer;
        if (allocate) {
            target = static_cast<char*>(LocalAlloc(LMEM_FIXED, needed > nSize ? needed : nSize));
            if (target == nullptr) return 0;  // LocalAlloc set the reason
            *reinterpret_cast<char**>(lpBuffer) = target;
        } else if (nSize < needed) {
            if (nSize > 0) lpBuffer[0] = '\0';
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(target, text.c_str(), needed);
        return static_cast<DWORD>(text.size());
    });
}
