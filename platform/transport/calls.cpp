/*
 * A client's calls: each admitted against its connection's and its user's shares and
 * run by a worker of its own in the connection's process, and the cancels that reach
 * the requests they wait on.
 */
#include "server_internal.h"

#include "native_calls.h"

#include "machine.h"

#include <ntstatus.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace transport {

void Connection::RefuseCall(uint64_t id)
{
    server->callsRefused++;
    uint8_t buffer[kMaxMessageBytes];
    Send(buffer, EncodeReply(buffer, id, STATUS_INSUFFICIENT_RESOURCES));
}

/*
 * Admits a call and starts its worker (the reader): room among the connection's calls,
 * its bytes within the connection's and the user's budgets, a call-thread slot, and a
 * thread. Whatever is missing, the call is answered STATUS_INSUFFICIENT_RESOURCES at once.
 */
void Connection::StartCall(uint64_t id, const CallBody &body)
{
    std::shared_ptr<Call> call;
    try {
        call = std::make_shared<Call>();
    } catch (const std::bad_alloc &) {
        RefuseCall(id);
        return;
    }
    call->id = id;
    call->body = body;
    call->bytes = BufferBytesOf(body);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (calls.size() >= server->options.maxCallsPerConnection) {
            RefuseCall(id); /* takes sendLock, which comes after lock */
            return;
        }
    }
    if (!server->ChargeBytes(peerUid, &bytesInFlight, call->bytes)) {
        RefuseCall(id);
        return;
    }
    if (!server->TakeCallThread(peerUid)) {
        server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
        RefuseCall(id);
        return;
    }
    try {
        std::lock_guard<std::mutex> guard(lock);
        calls[id] = call;
        workers++;
    } catch (const std::bad_alloc &) {
        server->ReleaseCallThread(peerUid);
        server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
        RefuseCall(id);
        return;
    }
    auto self = shared_from_this();
    if (!server->StartThread(peerUid, true, [self, call] { self->Worker(call); })) {
        server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
        {
            std::lock_guard<std::mutex> guard(lock);
            calls.erase(id);
            workers--;
        }
        RefuseCall(id);
    }
}

void Connection::Worker(const std::shared_ptr<Call> &call)
{
    NTSTATUS status = STATUS_CANCELLED;
    if (!call->cancelled.load()) {
        machine::AttachCurrentThread();
        machine::EnterProcess(process);
        status = InvokeNativeCall(call->body);
        machine::LeaveProcess();
        machine::DetachCurrentThread();
    }
    call->finished.store(true);
    server->served++;
    // The bytes and the slot go back before the reply, and the id is free again: a client
    // that sends its next call the moment it has this reply must find all three.
    server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
    server->ReleaseCallThread(peerUid);
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.erase(call->id);
    }
    uint8_t buffer[kMaxMessageBytes];
    Send(buffer, EncodeReply(buffer, call->id, status));
    std::lock_guard<std::mutex> guard(lock);
    if (--workers == 0 && cancellers == 0)
        idle.notify_all();
}

void Connection::CancelCall(uint64_t id)
{
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = calls.find(id);
        if (it == calls.end())
            return; /* finished already: its reply is on its way */
        call = it->second;
    }
    if (call->cancelled.exchange(true))
        return; /* asked already: one helper per call */
    const void *iosb = CancellableStatusBlock(call->body);
    if (iosb == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        cancellers++;
    }
    // The worker may be between its check of the flag and the request it sends; keep
    // asking until the request is there to be cancelled or the call is over.
    auto self = shared_from_this();
    auto helper = [self, call, iosb] {
        machine::AttachCurrentThread();
        for (int attempt = 0; attempt < 400 && !call->finished.load(); ++attempt) {
            if (machine::CancelProcessRequests(self->process, iosb) != 0) {
                self->server->cancels++;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        machine::DetachCurrentThread();
        self->server->ReleaseCallThread(self->peerUid);
        std::lock_guard<std::mutex> guard(self->lock);
        if (--self->cancellers == 0 && self->workers == 0)
            self->idle.notify_all();
    };
    if (server->TakeCallThread(peerUid) && server->StartThread(peerUid, true, helper))
        return;
    // No thread to spare: one attempt here, which finds the request unless the worker has
    // not sent it yet.
    machine::AttachCurrentThread();
    if (machine::CancelProcessRequests(process, iosb) != 0)
        server->cancels++;
    machine::DetachCurrentThread();
    std::lock_guard<std::mutex> guard(lock);
    if (--cancellers == 0 && workers == 0)
        idle.notify_all();
}

} // namespace transport
