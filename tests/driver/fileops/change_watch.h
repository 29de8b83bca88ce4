/*
 * A change watch as a program keeps one: an asynchronous directory handle and
 * its NtNotifyChangeDirectoryFile request, with the records it returned.
 */
#pragma once

#include "fileops_test.h"

#include <string>
#include <utility>
#include <vector>

constexpr ULONG kNames = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr ULONG kEverything = kNames | FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                              FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_LAST_ACCESS;

using Change = std::pair<ULONG, std::string>; /* action, name relative to the watched directory */

/*
 * One watching handle and its request: the I/O manager writes the status block
 * before it signals the event, so the block is read only once the event says
 * the request is done.
 */
struct Watcher {
    HANDLE dir = nullptr;
    HANDLE event = nullptr;
    IO_STATUS_BLOCK iosb{};
    alignas(8) UCHAR buffer[4096] = {};

    explicit Watcher(const std::string &path, ACCESS_MASK access = FILE_LIST_DIRECTORY)
    {
        EXPECT_EQ(KernelOpen(path, &dir, FILE_DIRECTORY_FILE, access), STATUS_SUCCESS) << path;
        EXPECT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
    }
    ~Watcher()
    {
        if (dir != nullptr)
            ZwClose(dir);
        ZwClose(event);
    }
    NTSTATUS Start(ULONG filter, bool tree = false, ULONG length = sizeof(buffer))
    {
        iosb = {};
        return ZwNotifyChangeDirectoryFile(dir, event, nullptr, nullptr, &iosb, buffer, length, filter, tree);
    }
    bool Done() const
    {
        LARGE_INTEGER now{};
        return ZwWaitForSingleObject(event, FALSE, &now) == STATUS_SUCCESS;
    }
    /* Waits for the request and returns its status; the records in *changes. */
    NTSTATUS Finish(std::vector<Change> *changes = nullptr)
    {
        ZwWaitForSingleObject(event, FALSE, nullptr);
        if (changes != nullptr && iosb.Status == STATUS_SUCCESS) {
            changes->clear();
            for (ULONG at = 0; at < iosb.Information;) {
                auto *record = reinterpret_cast<PFILE_NOTIFY_INFORMATION>(buffer + at);
                std::string name;
                for (ULONG i = 0; i < record->FileNameLength / 2; ++i)
                    name.push_back((char)record->FileName[i]);
                changes->emplace_back(record->Action, name);
                if (record->NextEntryOffset == 0)
                    break;
                at += record->NextEntryOffset;
            }
        }
        return iosb.Status;
    }
    void Close()
    {
        ZwClose(dir);
        dir = nullptr;
    }
};
