// Counts the heap allocations that the calling thread makes while counting is
// switched on: malloc, calloc, realloc and everything built on them
// (operator new, the C library's own allocations).
#pragma once

// Starts counting on this thread, from 0.
void counting_alloc_start();
// Stops counting and returns the allocations made since the start.
long counting_alloc_stop();
