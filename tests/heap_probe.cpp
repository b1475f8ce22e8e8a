// SPDX-License-Identifier: MIT
// An object that allocates: the heap check must reject it. The pointer
// escapes, so no optimiser can drop the allocation.
int* HeapProbe() { return new int(7); }
