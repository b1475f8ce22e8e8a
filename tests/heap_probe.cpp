// SPDX-License-Identifier: MIT
// An object that allocates and maps: the heap check must reject it. The
// pointers escape, so no optimiser can drop the allocation or the mapping.
#include <sys/mman.h>

int* HeapProbe() { return new int(7); }
void* MapProbe() { return mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }
