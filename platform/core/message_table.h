// The texts of the error codes this layer can produce, as FormatMessageA with
// FORMAT_MESSAGE_FROM_SYSTEM hands them out.
#ifndef KEYHOLD_CORE_MESSAGE_TABLE_H
#define KEYHOLD_CORE_MESSAGE_TABLE_H

#include <windows.h>

#include <cstddef>

namespace keyhold {

struct MessageEntry {
    DWORD code;
    const char* text;  // one English sentence, no line break
};

// The text for `code`, or null when the code has none.
const char* SystemMessageText(DWORD code);

// The whole table, for checks that every code has a text.
const MessageEntry* MessageTable(std::size_t* count);

}  // namespace keyhold

#endif
