// Where a context's keys live: the container's slots on disk, or the verify
// context's own memory. Also the mapping between slots and algorithms.
#ifndef KEYHOLD_KEYS_KEY_SLOTS_H
#define KEYHOLD_KEYS_KEY_SLOTS_H

#include <functional>

#include <wincrypt.h>

#include "keys/key_object.h"
#include "store/container_file.h"
#include "store/context.h"

namespace keyhold {

ALG_ID AlgorithmOfSlot(KeySlot slot);

// CALG_RSA_KEYX / CALG_RSA_SIGN and, when `acceptKeySpec`, AT_KEYEXCHANGE /
// AT_SIGNATURE. False for anything else.
bool SlotOfAlgorithm(ALG_ID algorithm, bool acceptKeySpec, KeySlot& slot);

// The context's keys as they are now: the container file read afresh, or the
// verify context's memory.
DWORD ReadKeys(ProviderContext& context, ContainerRecord& out);

// Applies `change` atomically: through the container's locked update, or under
// the verify context's mutex. Nothing changes unless `change` succeeds.
DWORD ChangeKeys(ProviderContext& context, const std::function<DWORD(ContainerRecord&)>& change);

// The key a slot holds. NTE_NO_KEY for an empty slot; NTE_KEYSET_ENTRY_BAD for
// a stored blob the codec refuses or one of the other slot's algorithm.
DWORD LoadStoredKey(const StoredKey& stored, KeySlot slot, KeyObject& out);

}  // namespace keyhold

#endif
