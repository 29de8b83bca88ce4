/*
 * Checks of arguments every operation shares, and the shell notification after a
 * drive came or went.
 */
#include "vorellib_internal.h"

#include <shlobj.h>

#include <string.h>

namespace vorellib {

bool NormaliseLetter(char letter, WCHAR *out)
{
    if (letter >= 'a' && letter <= 'z')
        letter = (char)(letter - 32);
    if (letter < 'A' || letter > 'Z')
        return false;
    *out = (WCHAR)letter;
    return true;
}

vorel_status RefuseArgument(vorel_handle h)
{
    h->lastNativeError = 0;
    return VOREL_ERR_INVALID;
}

vorel_status SendLetterRequest(vorel_handle h, DWORD code, char letter, WCHAR *sent, void *output, DWORD outputBytes)
{
    if (h == nullptr)
        return VOREL_ERR_INVALID;
    if (!NormaliseLetter(letter, sent))
        return RefuseArgument(h);
    VOREL_LETTER_INPUT request = {(VOREL_U16)*sent, 0};
    return SendRequest(h, code, &request, sizeof(request), output, outputBytes);
}

vorel_status QueryLetterRecord(vorel_handle h, DWORD code, char letter, const void *output, void *reply,
                               DWORD replyBytes)
{
    if (h == nullptr || output == nullptr)
        return VOREL_ERR_INVALID;
    memset(reply, 0, replyBytes);
    WCHAR sent;
    return SendLetterRequest(h, code, letter, &sent, reply, replyBytes);
}

bool ValidImagePath(const char *path)
{
    if (path[0] == 0)
        return true;
    char c = path[0];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

void NotifyShell(WCHAR letter, bool added)
{
    WCHAR root[4] = {letter, L':', L'\\', 0};
    SHChangeNotify(added ? SHCNE_DRIVEADD : SHCNE_DRIVEREMOVED, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, root, nullptr);
    PIDLIST_ABSOLUTE computer = nullptr;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &computer))) {
        SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_IDLIST, computer, nullptr);
        CoTaskMemFree(computer);
    }
}

} // namespace vorellib
