/* Device control codes (user mode), as Windows' winioctl.h defines them. */
#pragma once

#include <windows.h>
#include <devioctl.h>
