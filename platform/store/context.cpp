#include "store/context.h"

#include "core/handle_table.h"

namespace keyhold {

namespace {

HandleTable<ProviderContext>& Contexts() {
    static HandleTable<ProviderContext> table(1);
    return table;
}

}  // namespace

std::shared_ptr<ProviderContext> FindContext(HCRYPTPROV handle) {
    if (handle == 0) return nullptr;
    return Contexts().Find(handle);
}

HCRYPTPROV AddContext(std::shared_ptr<ProviderContext> context) {
    return Contexts().Add(std::move(context));
}

std::shared_ptr<ProviderContext> RemoveContext(HCRYPTPROV handle) {
    if (handle == 0) return nullptr;
    return Contexts().Remove(handle);
}

std::string_view ProviderName(DWORD provType) {
    switch (provType) {
    case PROV_RSA_FULL: return "keyhold RSA Full Provider";
    case PROV_RSA_SCHANNEL: return "keyhold RSA SChannel Provider";
    case PROV_RSA_AES: return "keyhold RSA and AES Provider";
    default: return {};
    }
}

}  // namespace keyhold
