// Internal header of zvr3lib, not installed.
#ifndef ZVR3METATYPE_P_H
#define ZVR3METATYPE_P_H

// The library tests and makes the values that travel between nodes with the same functions that
// applications use: zvr3typeId(), zvr3holds(), zvr3take() and zvr3value() of the public zvr3value.h.
#include "zvr3value.h"

#endif // ZVR3METATYPE_P_H
