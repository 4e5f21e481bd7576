#include "store/area.h"
