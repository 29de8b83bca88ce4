/*
 * Page lists of the page allocator (pages.cpp), as the mapping routines of mdl.cpp
 * see them.
 */
#pragma once

#include <km/mm.h>

namespace mm {

/*
 * MapPageList: for a live list of the page allocator, makes its run addressable and
 * returns the run's address (its one system mapping); null when mdl is no such list.
 */
void *MapPageList(PMDL mdl);

/*
 * UnmapPageList: for a live list of the page allocator, takes its mapping away and
 * returns true; false when mdl is no such list. A base that is not the list's
 * mapping stops the machine.
 */
bool UnmapPageList(void *base, PMDL mdl);

/* The AvailablePages figure (0 = the host's real one). */
uint64_t AvailablePagesFigure();

} // namespace mm
