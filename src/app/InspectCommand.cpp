#include "app/Modes.h"

#include <cstdio>

namespace lw::app {

int RunInspect(const QString&, const QString&)
{
    std::fprintf(stderr, "larchwatcher: --inspect is not available in this build yet\n");
    return 2;
}

} // namespace lw::app
