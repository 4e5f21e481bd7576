#include <keyhold/console.h>

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "core/console_charset.h"
#include "core/guard.h"

namespace {

bool IsAscii(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p >= 0x80) return false;
    }
    return true;
}

size_t CountPercent(std::string_view text) {
    size_t count = 0;
    for (const char c : text) count += c == '%';
    return count;
}

// One converter for the process, set up on the first non-ASCII text.
class Recoder {
public:
    static Recoder& Instance() {
        static Recoder recoder;
        return recoder;
    }

    // The text in the locale's character set; the UTF-8 text itself when no
    // conversion is wanted or the conversion fails.
    std::string Convert(const char* utf8) {
        const std::string_view in(utf8);
        if (cd_ == reinterpret_cast<iconv_t>(-1)) return std::string(in);
        std::lock_guard<std::mutex> lock(mutex_);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out(in.size() * 4 + 16, '\0');
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char* dst = out.data();
        size_t dstLeft = out.size();
        if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) ||
            iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
            return std::string(in);
        out.resize(out.size() - dstLeft);
        // A transliteration must not invent a conversion (a
        // full-width percent sign becoming '%') that has no argument behind it.
        if (CountPercent(out) != CountPercent(in)) return std::string(in);
        return out;
    }

    Recoder(const Recoder&) = delete;
    Recoder& operator=(const Recoder&) = delete;

private:
    Recoder() {
        setlocale(LC_ALL, "");
        // Numbers keep the C form, as in pure-ASCII output that never touches
        // the locale; only the character set is taken from the environment.
        setlocale(LC_NUMERIC, "C");
        const std::string target = keyhold::ConsoleTargetCharset(nl_langinfo(CODESET));
        if (!target.empty()) cd_ = iconv_open(target.c_str(), "UTF-8");
    }
    ~Recoder() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
    }

    std::mutex mutex_;
    iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

}  // namespace

extern "C" int ConsoleVPrintf(const char* format, va_list args) {
    return keyhold::GuardedCall<int>(-1, [&]() -> int {
        if (format == nullptr) return -1;
        if (IsAscii(format)) return std::vprintf(format, args);
        const std::string converted = Recoder::Instance().Convert(format);
        return std::vprintf(converted.c_str(), args);
    });
}

extern "C" int ConsolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = ConsoleVPrintf(format, args);
    va_end(args);
    return result;
}
