#include "app/Modes.h"

#include <cstdio>

namespace lw::app {

int RunService(const Options&)
{
    std::fprintf(stderr, "larchwatcher: --service is not available in this build yet\n");
    return 2;
}

int RunPollOnce(const Options&)
{
    std::fprintf(stderr, "larchwatcher: --poll-once is not available in this build yet\n");
    return 2;
}

} // namespace lw::app
