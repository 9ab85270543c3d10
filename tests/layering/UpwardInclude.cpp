// Compiled against the config layer only: the engine sits above it, so this include must fail.
#include "engine/Service.h"
