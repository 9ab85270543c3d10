#pragma once

namespace lw::mail {

// Initialises GMime once per process, safe to call from any thread and any number of times.
// Also keeps the common charset converters loaded for the life of the process.
void EnsureGMime();

} // namespace lw::mail
