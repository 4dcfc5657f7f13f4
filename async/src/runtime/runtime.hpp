// The process-wide runtime: one io_context driven by one worker thread per processor.
#pragma once

#include <asio/io_context.hpp>

namespace tessaly::engine {

// Created on first use (exactly once, also under concurrent first use) and never destroyed.
asio::io_context& runtime();

// True on one of the runtime's worker threads, where a blocking wait would deadlock.
bool on_runtime_thread();

// Stops the workers (waiting up to a second for them to leave) if the runtime exists. For the
// embedding program's own shutdown, before whatever the workers call into goes away.
void stop_runtime();

}  // namespace tessaly::engine
