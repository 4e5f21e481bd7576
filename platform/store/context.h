// Provider contexts, as the handles HCRYPTPROV name them.
#ifndef KEYHOLD_STORE_CONTEXT_H
#define KEYHOLD_STORE_CONTEXT_H

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <wincrypt.h>

#include "store/area.h"
#include "store/container_file.h"

namespace keyhold {

struct ProviderContext {
    DWORD provType = 0;
    Area area;
    bool verifyContext = false;  // CRYPT_VERIFYCONTEXT: no container
    std::string container;       // the container's name, unless verifyContext

    // Keys of a verify context live here only and are never stored.
    ContainerRecord ephemeral;

    // PP_ENUMCONTAINERS: the snapshot CRYPT_FIRST took, and the next index.
    std::vector<std::string> enumNames;
    std::size_t enumNext = 0;
    bool enumStarted = false;

    std::mutex mutex;  // guards ephemeral and the enumeration state
};

// The live context of a handle, or null (callers then fail with NTE_BAD_UID).
std::shared_ptr<ProviderContext> FindContext(HCRYPTPROV handle);

// Registers a context and returns its handle, never 0.
HCRYPTPROV AddContext(std::shared_ptr<ProviderContext> context);

// Retires a handle; the context lives on while others (keys) still hold it.
// Null when the handle was not live.
std::shared_ptr<ProviderContext> RemoveContext(HCRYPTPROV handle);

// The PP_NAME text of a provider type; empty for a type not offered.
std::string_view ProviderName(DWORD provType);

}  // namespace keyhold

#endif
