/* The entry point CrashApp finds in CrashLib.dll with GetProcAddress. */
#ifndef CRASHLIB_H
#define CRASHLIB_H

/* Each function on the way down writes its own return address to
   returns[depth], then calls one deeper; the last one writes through a null
   pointer. */
typedef void (*CrashLibEnterFn)(void **returns, int depth);

#define CRASHLIB_ENTER_NAME "CrashLibEnter"

#endif
