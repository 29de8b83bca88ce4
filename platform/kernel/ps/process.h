/*
 * User processes: created for tests and for the host's clients.
 */
#pragma once

#include "ke/thread.h"

#include "machine.h"

namespace ps {

struct _KPROCESS *CreateUserProcess(const machine::ProcessIdentity &identity);
/* Process exit (see machine::TerminateProcess). */
void TerminateProcess(struct _KPROCESS *process);

} // namespace ps
