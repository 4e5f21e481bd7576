// Console output on Windows. The fixed texts are UTF-8 in the source. On a
// real console the whole line goes out as UTF-16 (WriteConsoleW), so that it
// shows right whatever the console's code page. Into a file or a pipe it goes
// as bytes of the console's code page (932 on a Japanese system), through the
// C runtime's text mode, which ends lines with CR LF. Arguments (names and
// paths from the command line, the system's message texts) are text in the
// ANSI code page and are inserted as the bytes they are.
#include <keyhold/console.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

bool IsAscii(std::string_view text) {
    for (const unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

std::wstring Widen(std::string_view text, UINT codePage) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return {};
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// A format text and the code page its bytes are in.
struct Recoded {
    std::string text;
    UINT codePage;
};

// The UTF-8 text in codePage; the UTF-8 text itself when that code page lacks
// one of its characters. No best-fit mapping: a full-width percent sign must
// not become a conversion with no argument behind it.
Recoded Recode(const char* utf8, UINT codePage) {
    const std::string_view in(utf8);
    if (IsAscii(in) || codePage == CP_UTF8) return {std::string(in), codePage};
    const std::wstring wide = Widen(in, CP_UTF8);
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, &lossy);
    if (wide.empty() || size <= 0 || lossy) return {std::string(in), CP_UTF8};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                        nullptr, &lossy);
    return {out, codePage};
}

std::string Format(const std::string& format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format.c_str(), copy);
    va_end(copy);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format.c_str(), args);
    out.resize(static_cast<size_t>(size));
    return out;
}

// Standard output when it is a real console, else null.
HANDLE ConsoleOutput() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return nullptr;
    return out;
}

// A process without a console has no console code page; its output is then
// in the ANSI code page, as the C runtime prints it.
UINT OutputCodePage() {
    const UINT codePage = GetConsoleOutputCP();
    return codePage != 0 ? codePage : GetACP();
}

int Print(const char* format, va_list args) {
    if (const HANDLE console = ConsoleOutput()) {
        // Formatted in the arguments' own code page, then shown as characters.
        const Recoded recoded = Recode(format, GetACP());
        const std::string text = Format(recoded.text, args);
        const std::wstring wide = Widen(text, recoded.codePage);
        DWORD written = 0;
        if (!wide.empty() && !WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr))
            return -1;
        return static_cast<int>(text.size());
    }
    const std::string text = Format(Recode(format, OutputCodePage()).text, args);
    // Written through at once: nothing waits in a buffer while the program
    // waits for a key.
    const size_t written = std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return written == text.size() ? static_cast<int>(written) : -1;
}

}  // namespace

extern "C" int ConsoleVPrintf(const char* format, va_list args) {
    if (format == nullptr) return -1;
    // No C++ exception leaves a published function: without memory, nothing is printed.
    try {
        return Print(format, args);
    } catch (...) {
        return -1;
    }
}

extern "C" int ConsolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = ConsoleVPrintf(format, args);
    va_end(args);
    return result;
}
