/* Linked into sineplot-highmem.exe, the Windows test's copy of the program:
 * before main, reserves every free range of the address space below 4 GiB
 * and uses up what the heaps already hold there, so that the buffers the
 * program and the library allocate later lie above it, as 64-bit Windows'
 * address randomisation usually places them. An address cut to 32 bits then
 * faults instead of happening to work. Ends the program with status 3 if
 * memory still comes from below 4 GiB. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#define FOUR_GIB ((uintptr_t)1 << 32)
#define BLOCK (64 * 1024)

__attribute__((constructor)) static void reserve_low_memory(void)
{
   SYSTEM_INFO system;
   MEMORY_BASIC_INFORMATION region;
   uintptr_t address, end, granularity;
   HANDLE heaps[64];
   DWORD count, i;
   void *probe;

   GetSystemInfo(&system);
   granularity = system.dwAllocationGranularity;
   address = (uintptr_t)system.lpMinimumApplicationAddress;
   while (address < FOUR_GIB &&
          VirtualQuery((void *)address, &region, sizeof(region)) == sizeof(region)) {
      end = (uintptr_t)region.BaseAddress + region.RegionSize;
      if (region.State == MEM_FREE) {
         /* Reservations start on the allocation granularity. */
         uintptr_t start = (address + granularity - 1) / granularity * granularity;
         uintptr_t stop = end < FOUR_GIB ? end : FOUR_GIB;
         if (start < stop)
            VirtualAlloc((void *)start, stop - start, MEM_RESERVE, PAGE_NOACCESS);
      }
      address = end;
   }

   /* Each heap (malloc's among them) keeps the blocks it hands out until one
    * comes from above 4 GiB: then it has no room left below. */
   count = GetProcessHeaps(sizeof(heaps) / sizeof(heaps[0]), heaps);
   for (i = 0; i < count && i < sizeof(heaps) / sizeof(heaps[0]); i++) {
      void *block;
      while ((block = HeapAlloc(heaps[i], 0, BLOCK)) && (uintptr_t)block < FOUR_GIB)
         ;
      HeapFree(heaps[i], 0, block);
   }

   probe = malloc(BLOCK);
   if (!probe || (uintptr_t)probe < FOUR_GIB) {
      fprintf(stderr, "sineplot-highmem: memory still lies below 4 GiB (%p)\n", probe);
      exit(3);
   }
   free(probe);
}
