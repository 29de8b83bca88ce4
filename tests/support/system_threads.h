/*
 * Test support: system threads running a lambda, and polling on the host clock.
 */
#pragma once

#include "machine_test.h"

#include <functional>
#include <unistd.h>

/* Starts a system thread running fn; returns its referenced thread object. */
inline PKTHREAD StartThread(std::function<void()> fn)
{
    auto *body = new std::function<void()>(std::move(fn));
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(
        &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
        [](PVOID context) {
            // The body may end the thread with PsTerminateSystemThread, which skips
            // this frame: keep nothing on the heap across the call.
            auto *heap = static_cast<std::function<void()> *>(context);
            std::function<void()> f = std::move(*heap);
            delete heap;
            f();
        },
        body);
    if (!NT_SUCCESS(status)) {
        delete body;
        return nullptr;
    }
    PVOID object = nullptr;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    ZwClose(handle);
    return static_cast<PKTHREAD>(object);
}

/* Waits for a thread started by StartThread to end and drops its reference. */
inline void JoinThread(PKTHREAD thread)
{
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

/* Polls (on the host clock) until cond holds; the dispatcher's own waits are what is under test. */
template <typename Cond>
bool Eventually(Cond cond)
{
    for (int i = 0; i < 5000; ++i) {
        if (cond())
            return true;
        usleep(1000);
    }
    return cond();
}
