#include "keys/key_slots.h"

#include <mutex>

#include "keys/blob_codec.h"
#include "store/container_store.h"

namespace keyhold {

ALG_ID AlgorithmOfSlot(KeySlot slot) { return slot == kSignatureSlot ? CALG_RSA_SIGN : CALG_RSA_KEYX; }

bool SlotOfAlgorithm(ALG_ID algorithm, bool acceptKeySpec, KeySlot& slot) {
    if (algorithm == CALG_RSA_KEYX || (acceptKeySpec && algorithm == AT_KEYEXCHANGE)) {
        slot = kExchangeSlot;
        return true;
    }
    if (algorithm == CALG_RSA_SIGN || (acceptKeySpec && algorithm == AT_SIGNATURE)) {
        slot = kSignatureSlot;
        return true;
    }
    return false;
}

DWORD ReadKeys(ProviderContext& context, ContainerRecord& out) {
    if (!context.verifyContext) return ReadContainer(context.area, context.container, out);
    std::lock_guard<std::mutex> lock(context.mutex);
    out = context.ephemeral;
    return ERROR_SUCCESS;
}

DWORD ChangeKeys(ProviderContext& context, const std::function<DWORD(ContainerRecord&)>& change) {
    if (!context.verifyContext) return UpdateContainer(context.area, context.container, change);
    std::lock_guard<std::mutex> lock(context.mutex);
    ContainerRecord draft = context.ephemeral;
    const DWORD result = change(draft);
    if (result == ERROR_SUCCESS) context.ephemeral = std::move(draft);
    return result;
}

DWORD LoadStoredKey(const StoredKey& stored, KeySlot slot, KeyObject& out) {
    if (!stored.present) return NTE_NO_KEY;
    DecodedBlob decoded;
    if (DecodeKeyBlob(stored.blob.data(), stored.blob.size(), decoded) != ERROR_SUCCESS ||
        decoded.algorithm != AlgorithmOfSlot(slot))
        return NTE_KEYSET_ENTRY_BAD;
    out.key = std::move(decoded.key);
    out.algorithm = decoded.algorithm;
    out.publicOnly = !decoded.isPrivate;
    out.exportable = decoded.isPrivate && stored.exportable;
    out.bitLength = decoded.bitLength;
    return ERROR_SUCCESS;
}

}  // namespace keyhold
