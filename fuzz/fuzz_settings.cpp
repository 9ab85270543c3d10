// The settings file reader: arbitrary bytes as larchwatcher.ini, loaded as the window loads it
// and turned into a snapshot.
#include "FuzzSupport.h"
#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    lw::fuzz::WriteInput(lw::config::kSettingsFileName, data, size);
    auto copy = lw::config::InMemoryWorkingCopy::FromSettingsFile(lw::fuzz::ScratchFolder());
    const lw::config::SettingsRecord record = lw::config::TakeSettingsSnapshot(copy);
    (void)record;
    return 0;
}
