// Key blob files on Windows. The path is made a full path once, and its
// directory is held open without delete sharing, so that it can be neither
// renamed nor removed (nor so swapped for a link) until the write is done.
// The new content goes into a temporary file in that directory, is flushed,
// and then takes the target's place in one move. Windows refuses to replace a
// file that is open, so the target is held (for writing, which keeps other
// writers out) only until the move.
//
// Secret data (anything but a PUBLICKEYBLOB) goes into a temporary file
// created with a protected ACL that gives the caller's user alone access, and
// MoveFileExA keeps it: the file is the caller's and no one else's, whatever
// it replaces. A public blob that replaces a file goes in with ReplaceFileA,
// which keeps the replaced file's ACL and attributes; a new public file has
// the ACL its directory hands down.
#include <keyhold/key_file.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "security.h"

namespace {

// Attempts at a fresh temporary name before giving up.
constexpr int kTempNameAttempts = 8;

// What the owner of a private key file may do with it: read and write it and
// its attributes, and delete or replace it (its ACL is the owner's by right).
// Nothing more: it is no program.
constexpr DWORD kOwnerAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;

class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = other.handle_;
            other.handle_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    bool Close() {
        if (!valid()) return true;
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != FALSE;
    }

private:
    HANDLE handle_;
};

// Keeps the last error of a failure across the clean-up after it.
class KeepLastError {
public:
    KeepLastError() : error_(GetLastError()) {}
    ~KeepLastError() { SetLastError(error_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD error_;
};

// A security descriptor that makes a new file the caller's own, for the
// caller alone: owner the caller's user, one entry for that user, nothing
// inherited from the directory.
class PrivateFileSecurity {
public:
    bool Init() {
        if (!user_.Load()) return false;
        const PSID sid = user_.sid();
        return acl_.Build(&sid, &kOwnerAccess, 1) &&
               InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorOwner(&descriptor_, sid, FALSE) &&
               SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_.acl(), FALSE) &&
               SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }

    SECURITY_ATTRIBUTES* attributes() {
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
        return &attributes_;
    }

private:
    keyhold::ProcessUser user_;
    keyhold::AllowList acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// The target's full path and its directory, up to and including the last
// separator. The system splits it, as it knows the code page's double-byte
// characters (whose second byte may be 0x5C, the backslash).
bool SplitPath(LPCSTR path, std::string* full, std::string* directory) {
    const DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);
    if (size == 0) return false;
    std::string buffer(size, '\0');
    char* filePart = nullptr;
    const DWORD length = GetFullPathNameA(path, size, buffer.data(), &filePart);
    if (length == 0 || length >= size) return false;
    // A path that ends with a separator names no file.
    if (filePart == nullptr) return Fail(ERROR_PATH_NOT_FOUND);
    *directory = buffer.substr(0, static_cast<size_t>(filePart - buffer.data()));
    buffer.resize(length);
    *full = buffer;
    return true;
}

// The file now at the full path, opened for writing (which proves we may
// replace it) and shared for reading only. An invalid handle when there is
// none; a link or anything but a plain file there is refused.
bool OpenTarget(const std::string& full, Handle* target) {
    Handle file(CreateFileA(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return GetLastError() == ERROR_FILE_NOT_FOUND;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) return false;
    if (GetFileType(file.get()) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return Fail(ERROR_ACCESS_DENIED);
    *target = std::move(file);
    return true;
}

// A name for a temporary file in directory: ".keyhold-<pid>-<8 hex>.tmp".
std::string TemporaryName(const std::string& directory) {
    static DWORD counter = 0;
    ++counter;
    const DWORD pid = GetCurrentProcessId();
    const DWORD mix = (pid * 2654435761u) ^ GetTickCount() ^ (counter * 0x9E3779B9u);
    char name[48];
    std::snprintf(name, sizeof name, ".keyhold-%lu-%08lx.tmp", static_cast<unsigned long>(pid),
                  static_cast<unsigned long>(mix));
    return directory + name;
}

// The new content under a temporary name beside the target, removed again
// unless it was moved into place.
class PendingFile {
public:
    ~PendingFile() {
        if (path_.empty()) return;
        const KeepLastError keep;
        file_.Close();
        DeleteFileA(path_.c_str());
    }

    // A new file, open for writing and shared with no one.
    bool Create(const std::string& directory, SECURITY_ATTRIBUTES* security) {
        for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
            std::string path = TemporaryName(directory);
            const HANDLE file =
                CreateFileA(path.c_str(), GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                path_ = std::move(path);
                file_ = Handle(file);
                return true;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
        }
        return false;
    }

    // Writes all the bytes, flushes them to the disk and closes the file.
    bool Fill(const BYTE* data, DWORD length) {
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, length, &written, nullptr)) return false;
        if (written != length) return Fail(ERROR_WRITE_FAULT);
        return FlushFileBuffers(file_.get()) && file_.Close();
    }

    // Takes the target's place. With keepTargetAcl, ReplaceFileA keeps the
    // replaced file's ACL and attributes; its old content waits under a
    // backup name until the new is in place, since without one a failure
    // midway may leave no file under the name.
    bool MoveOver(const std::string& target, const std::string& directory, bool keepTargetAcl) {
        if (keepTargetAcl) {
            const std::string backup = TemporaryName(directory);
            if (ReplaceFileA(target.c_str(), path_.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                             nullptr)) {
                path_.clear();
                DeleteFileA(backup.c_str());
                return true;
            }
            const DWORD error = GetLastError();
            // The old file went to the backup name, the new one stayed: back it goes.
            if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileExA(backup.c_str(), target.c_str(), 0);
            // Gone since we held it: then there is no ACL to keep.
            if (error != ERROR_FILE_NOT_FOUND) return Fail(error);
        }
        if (!MoveFileExA(path_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return false;
        path_.clear();
        return true;
    }

private:
    std::string path_;
    Handle file_;
};

bool IsPublicKeyBlob(const BYTE* data, DWORD length) { return length >= 1 && data[0] == PUBLICKEYBLOB; }

bool WriteKeyFile(LPCSTR fileName, const BYTE* data, DWORD length) {
    if (fileName == nullptr || *fileName == '\0') return Fail(ERROR_PATH_NOT_FOUND);
    if (data == nullptr && length != 0) return Fail(ERROR_INVALID_PARAMETER);
    const bool secret = !IsPublicKeyBlob(data, length);

    std::string full;
    std::string directory;
    if (!SplitPath(fileName, &full, &directory)) return false;
    const Handle directoryHold(CreateFileA(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!directoryHold.valid())
        return Fail(GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : GetLastError());

    Handle target;
    if (!OpenTarget(full, &target)) return false;
    const bool replacing = target.valid();

    PrivateFileSecurity privateSecurity;
    if (secret && !privateSecurity.Init()) return false;
    PendingFile pending;
    if (!pending.Create(directory, secret ? privateSecurity.attributes() : nullptr)) return false;
    if (!pending.Fill(data, length)) return false;
    target.Close();
    return pending.MoveOver(full, directory, replacing && !secret);
}

}  // namespace

extern "C" BOOL WINAPI WriteKeyBlobFileA(LPCSTR lpFileName, const BYTE* pbData, DWORD dwDataLen) {
    // No C++ exception leaves a published function.
    try {
        return WriteKeyFile(lpFileName, pbData, dwDataLen) ? TRUE : FALSE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
    }
    return FALSE;
}
