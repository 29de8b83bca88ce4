/*
 * Shell change notification. No shell watches this machine's drives, so a
 * notification is only recorded (tests read the record); the item list of the
 * computer folder is a real allocation the caller frees with CoTaskMemFree.
 */
#include <shlobj.h>

#include "win32_harness.h"

#include <mutex>
#include <vector>

namespace {

std::mutex notificationLock;
std::vector<win32::ShellNotification> notifications;

/* A one-item list (the computer folder's class identifier item) and its terminator. */
constexpr BYTE kComputerItem[] = {0x14, 0x00, 0x1F, 0x50, 0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69,
                                  0x10, 0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D, 0x00, 0x00};

} // namespace

namespace win32 {

std::vector<ShellNotification> ShellNotifications()
{
    std::lock_guard<std::mutex> guard(notificationLock);
    return notifications;
}

} // namespace win32

extern "C" {

SHSTDAPI_(void) SHChangeNotify(LONG wEventId, UINT uFlags, LPCVOID dwItem1, LPCVOID dwItem2)
{
    (void)dwItem2;
    win32::ShellNotification notification;
    notification.event = (uint32_t)wEventId;
    notification.flags = uFlags;
    if ((uFlags & SHCNF_TYPE) == SHCNF_PATHW && dwItem1 != nullptr) {
        for (auto *p = static_cast<const WCHAR *>(dwItem1); *p != 0; ++p)
            notification.path.push_back((char16_t)*p);
    }
    std::lock_guard<std::mutex> guard(notificationLock);
    notifications.push_back(notification);
}

SHSTDAPI SHGetSpecialFolderLocation(HWND hwnd, int csidl, PIDLIST_ABSOLUTE *ppidl)
{
    (void)hwnd;
    if (ppidl == nullptr)
        return E_INVALIDARG;
    *ppidl = nullptr;
    if (csidl != CSIDL_DRIVES)
        return E_INVALIDARG; /* only the computer folder is offered */
    auto *list = static_cast<BYTE *>(CoTaskMemAlloc(sizeof(kComputerItem)));
    if (list == nullptr)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < sizeof(kComputerItem); ++i)
        list[i] = kComputerItem[i];
    *ppidl = reinterpret_cast<PIDLIST_ABSOLUTE>(list);
    return S_OK;
}

} // extern "C"
