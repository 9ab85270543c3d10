#include "app/Modes.h"

#include <cstdio>

namespace lw::app {

int RunWindow(const Options&)
{
    std::fprintf(stderr, "larchwatcher: the main window is not available in this build yet\n");
    return 2;
}

} // namespace lw::app
