#pragma once

namespace ferrant {

// Set once a SIGTERM has come, whoever handles it. From then on every record
// is handed over at its call (the batch size drops to 1) and written out
// before the call returns: a server's own handler may end the process by
// the signal's default action a moment after its last line (uvicorn restores
// the handler it found and raises the signal again), and nothing then waits
// in a batch. Async-signal-safe; a later basic_config(batch_size=...) sets
// the size again.
void begin_ending();

bool process_ending();

}  // namespace ferrant
