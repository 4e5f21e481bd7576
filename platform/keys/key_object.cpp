#include "keys/key_object.h"

namespace keyhold {

HandleTable<KeyObject>& KeyHandles() {
    static HandleTable<KeyObject> table(2);
    return table;
}

}  // namespace keyhold
