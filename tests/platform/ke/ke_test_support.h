/*
 * Helpers for dispatcher tests: system threads running a lambda.
 */
#pragma once

#include "machine_test.h"
#include "system_threads.h"
