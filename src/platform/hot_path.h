// Marks the functions that every keystroke and every output chunk of a
// terminal run goes through. The compiler places them side by side, so a run
// that wakes after a pause (a person typing) touches a few pages of code
// rather than pages spread over the whole program: measured, that is a few
// per cent of the echo's time once the caches have gone cold.
#pragma once

#if defined(__GNUC__)
#define ZELTA_HOT __attribute__((hot))
#else
#define ZELTA_HOT
#endif
