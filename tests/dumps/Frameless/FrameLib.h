/* FrameLib.dll's entry, as Frameless.exe finds it with GetProcAddress: calls
   three deep below it, the last of which writes through a null pointer; each
   function stores its return address at returns[depth], the deeper ones at
   the following places. */
#pragma once

typedef int (*FrameEnterFn)(void **returns, int depth, int seed);
#define FRAMELIB_ENTER_NAME "FrameEnter"
/* Functions of FrameLib.dll that store a return address. */
#define FRAMELIB_DEPTH 4
