#include "core/file_table.h"

#include "core/handle_table.h"

namespace keyhold {
namespace {

constexpr std::uintptr_t kFileHandleTag = 3;

HandleTable<OpenFile>& Files() {
    static HandleTable<OpenFile> table(kFileHandleTag);
    return table;
}

std::uintptr_t Key(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

HANDLE AddFile(std::shared_ptr<OpenFile> file) {
    return reinterpret_cast<HANDLE>(Files().Add(std::move(file)));
}

std::shared_ptr<OpenFile> FindFile(HANDLE handle) { return Files().Find(Key(handle)); }

std::shared_ptr<OpenFile> RemoveFile(HANDLE handle) { return Files().Remove(Key(handle)); }

}  // namespace keyhold
