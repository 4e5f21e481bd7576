#include "core/message_table.h"

#include <wincrypt.h>

#include <iterator>

namespace keyhold {
namespace {

// Every ERROR_* of windows.h and every NTE_* of wincrypt.h needs a line here;
// a test reads both headers and holds us to it.
constexpr MessageEntry kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "The function is not valid for this object."},
    {ERROR_FILE_NOT_FOUND, "The file does not exist."},
    {ERROR_PATH_NOT_FOUND, "The path is empty or a directory on it does not exist."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many files are open."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory to complete the operation."},
    {ERROR_OUTOFMEMORY, "The system ran out of memory."},
    {ERROR_NOT_SAME_DEVICE, "The file cannot be moved to a different file system."},
    {ERROR_WRITE_FAULT, "The data could not be written."},
    {ERROR_READ_FAULT, "The data could not be read."},
    {ERROR_GEN_FAILURE, "The operation failed for a reason the system cannot name."},
    {ERROR_SHARING_VIOLATION, "The file is in use by another program."},
    {ERROR_LOCK_VIOLATION, "A part of the file is locked by another program."},
    {ERROR_HANDLE_EOF, "The end of the file was reached before all data was read."},
    {ERROR_NOT_SUPPORTED, "The operation is not supported."},
    {ERROR_FILE_EXISTS, "The file already exists."},
    {ERROR_INVALID_PARAMETER, "A parameter is not valid."},
    {ERROR_BROKEN_PIPE, "The other end of the pipe has been closed."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer is too small for the data."},
    {ERROR_INVALID_NAME, "The file name, directory name or volume label is not valid."},
    {ERROR_BUSY, "The resource is busy."},
    {ERROR_ALREADY_EXISTS, "The file already exists, so it cannot be created."},
    {ERROR_FILE_TOO_LARGE, "The file is too large for the operation."},
    {ERROR_FILENAME_EXCED_RANGE, "The file name or path is too long."},
    {ERROR_MORE_DATA, "More data is available than the buffer holds."},
    {ERROR_NO_MORE_ITEMS, "There are no more items."},
    {ERROR_DIRECTORY, "The directory name is not valid."},
    {ERROR_MR_MID_NOT_FOUND, "No message text exists for the message number."},
    {ERROR_IO_DEVICE, "The device reported an input or output error."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_RESOURCE_LANG_NOT_FOUND, "No message text exists in the requested language."},
    {ERROR_CANT_RESOLVE_FILENAME, "The file name cannot be resolved because of a loop of symbolic links."},
    {static_cast<DWORD>(NTE_BAD_UID), "The provider handle is not valid."},
    {static_cast<DWORD>(NTE_BAD_HASH), "The hash is not valid."},
    {static_cast<DWORD>(NTE_BAD_KEY), "The key is not valid."},
    {static_cast<DWORD>(NTE_BAD_LEN), "The length is not valid."},
    {static_cast<DWORD>(NTE_BAD_DATA), "The key blob data is not valid."},
    {static_cast<DWORD>(NTE_BAD_SIGNATURE), "The signature is not valid."},
    {static_cast<DWORD>(NTE_BAD_VER), "The key blob version is not supported."},
    {static_cast<DWORD>(NTE_BAD_ALGID), "The algorithm is not supported."},
    {static_cast<DWORD>(NTE_BAD_FLAGS), "The flags are not valid."},
    {static_cast<DWORD>(NTE_BAD_TYPE), "The type is not supported."},
    {static_cast<DWORD>(NTE_BAD_KEY_STATE), "The key may not be used in this way, for example it is not exportable."},
    {static_cast<DWORD>(NTE_NO_KEY), "The key container holds no key of this kind."},
    {static_cast<DWORD>(NTE_NO_MEMORY), "The key store ran out of memory."},
    {static_cast<DWORD>(NTE_EXISTS), "The key container or key already exists."},
    {static_cast<DWORD>(NTE_PERM), "Access to the key store is denied."},
    {static_cast<DWORD>(NTE_NOT_FOUND), "The object was not found in the key store."},
    {static_cast<DWORD>(NTE_BAD_PROVIDER), "The provider name is not valid."},
    {static_cast<DWORD>(NTE_BAD_PROV_TYPE), "The provider type is not supported."},
    {static_cast<DWORD>(NTE_BAD_KEYSET), "The key container does not exist."},
    {static_cast<DWORD>(NTE_KEYSET_NOT_DEF), "The key store for this provider type is not set up."},
    {static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD), "The key container file is damaged or of an unknown version."},
    {static_cast<DWORD>(NTE_BAD_KEYSET_PARAM), "The key container name is empty or too long."},
    {static_cast<DWORD>(NTE_FAIL), "The key store failed for an internal reason."},
};

}  // namespace

const char* SystemMessageText(DWORD code) {
    for (const auto& entry : kMessages) {
        if (entry.code == code) return entry.text;
    }
    return nullptr;
}

const MessageEntry* MessageTable(std::size_t* count) {
    if (count != nullptr) *count = std::size(kMessages);
    return kMessages;
}

}  // namespace keyhold
