/* The C runtime layer of the stand-in. */
#pragma once
#include <vcrt.h>
