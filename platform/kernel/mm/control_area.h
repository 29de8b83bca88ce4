/*
 * Data sections of files: the control area behind a file's
 * SECTION_OBJECT_POINTERS->DataSectionObject, the section objects that reference
 * it and the views that map it.
 *
 * A control area owns the file's pages: one memory file (memfd) as long as the
 * section, mapped once read-write in system space for paging I/O and MAP_SHARED by
 * every view, so all views of one file see the same bytes. Each page is absent,
 * clean or dirty. A view maps absent pages inaccessible and clean pages read-only,
 * so the first read of a page and the first write after a flush fault; the fault
 * handler reads the page in with a paging read, or marks it dirty and opens it for
 * writing. Flushes write dirty pages back with paging writes.
 *
 * Synchronisation: one lock (SectionLock) guards every control area's state, the
 * page states, the view lists and the address table of views, and the file's
 * DataSectionObject pointer. It is never held across paging I/O: a page under
 * paging I/O is marked busy, and whoever else needs that page waits on the idle
 * condition. A control area lives while section objects, views or callers in
 * flight reference it; the last reference writes dirty pages back and frees it.
 */
#pragma once

#include <ntifs.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

struct _KPROCESS;

namespace mm {

enum PageState : uint8_t { kPageAbsent = 0, kPageClean = 1, kPageDirty = 2 };

struct View;

struct ControlArea {
    PFILE_OBJECT file;                   /* referenced while the control area lives */
    PSECTION_OBJECT_POINTERS pointers;   /* the file's; DataSectionObject points here */
    int fd = -1;                         /* the pages */
    unsigned char *system = nullptr;     /* all pages, read-write, for paging I/O */
    uint64_t size = 0;                   /* section size in bytes */
    size_t pageCount = 0;
    std::vector<uint8_t> state;          /* PageState per page */
    std::vector<uint8_t> busy;           /* under paging I/O */
    int references = 0;                  /* sections + views + callers in flight */
    int sections = 0;                    /* section objects */
    int writableSections = 0;
    std::vector<View *> views;
};

struct View {
    ControlArea *area;
    struct _KPROCESS *process;           /* null for a system-space view */
    unsigned char *base;
    size_t bytes;                        /* page multiple */
    uint64_t offset;                     /* section offset of base, page multiple */
    bool writable;
    void *arenaBlock;                    /* the arena allocation the view lies in (user views) */
};

struct SectionState {
    std::mutex lock;
    std::condition_variable idle;        /* a busy page became idle */
    std::map<uintptr_t, View *> views;   /* by base address */
    std::set<const void *> areas;        /* live control areas */
};

SectionState &Sections();

/* ---- control areas (section.cpp) ---- */

/* Takes a reference (lock held). */
void ReferenceArea(ControlArea *area);
/* Drops a reference (lock not held); the last one writes dirty pages back and frees the area. */
void DereferenceArea(ControlArea *area);
/*
 * The file's control area, referenced, or null (lock not held). Section object
 * pointers naming a section or shared cache map this system did not make stop it.
 */
ControlArea *ReferenceAreaOf(PSECTION_OBJECT_POINTERS pointers);
/* The file's control area, or null; a pointer this system did not make gives *foreign (lock held). */
ControlArea *AreaOf(PSECTION_OBJECT_POINTERS pointers, bool *foreign);

/* The section object a handle names, referenced (*object) with `access`: its control area and writability. */
NTSTATUS ReferenceSection(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, ControlArea **area,
                          bool *writable, PVOID *object);

/* ---- pages (paging.cpp) ---- */

/* Sets the protection of a page in every view that maps it (lock held). */
void ProtectPage(ControlArea *area, size_t page);
/*
 * Makes a page present, reading it in with a paging read when absent, and dirty
 * when write is set (lock held through `guard`, dropped around the read).
 * Returns the read's failure status, or STATUS_SUCCESS.
 */
NTSTATUS MakePagePresent(std::unique_lock<std::mutex> &guard, ControlArea *area, size_t page, bool write);
/* Writes the dirty pages of [first, last) back; returns the first failure (lock not held). */
NTSTATUS FlushPages(ControlArea *area, size_t first, size_t last);
/*
 * Drops the pages of [first, last) without writing them, so the next touch reads
 * them again. A page under paging I/O is left and makes the answer false (lock not held).
 */
bool DropPages(ControlArea *area, size_t first, size_t last);
/* Whether a view maps any page of [first, last) (lock held). */
bool ViewsMap(const ControlArea *area, size_t first, size_t last);

/* ---- views (view.cpp) ---- */

/* The view holding address (lock held), or null. */
View *ViewAt(const void *address);

/* ---- faults (page_fault.cpp) ---- */

/* Installs the fault handler once, chained to the handler in place before it. */
void InstallPageFaultHandler();

} // namespace mm
