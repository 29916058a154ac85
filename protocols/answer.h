// Answers read straight from the receive ring, for the protocols whose
// ports have no notification (SIMPLE, COX): the request waits for its
// answer instead of taking it on the next request.
#pragma once
#include <cstdint>

// Reads up to want bytes, waiting at most waitMs for them and returning as
// soon as they are in; the number read (0 when nothing came or no port).
// A port that is not open (it failed to open) returns 0 at once: no answer
// can come.
int ReadAnswer(int index, uint8_t *buffer, int want, uint32_t waitMs);
// Empties the ring of late bytes, at most one ring's worth, so that a
// router that never stops talking cannot hold the main thread.
void DiscardLate(int index);
// Clears the port's error state.
void ClearLineErrors(int index);
