/*
 * The library's internals: the connection object and the request frame every
 * driver operation goes through.
 */
#pragma once

#define VORELLIB_BUILDING 1
#include "vorellib.h"

#include <windows.h>
#include <vorel_control.h>

#include <string.h>

/*
 * The connection: two blocks of the process heap. The outer one (allocated
 * zero-filled) is what callers hold; the inner one holds the control device's
 * handle and exists only while the device is open.
 */
struct vorel_connection {
    HANDLE *device;
    DWORD lastNativeError; /* Win32 error of the last request sent; 0 after a success or a refusal before sending */
};

/*
 * Replies of the two reserved statistics requests, as the library reads them; the
 * driver refuses both requests, so no driver fills them.
 */
struct VOREL_SLAB_STATISTICS_REPLY {
    VOREL_U32 Values[20];
    VOREL_U64 Totals[3];
};
struct VOREL_DESCRIPTOR_STATISTICS_REPLY {
    VOREL_U32 Descriptors;
    VOREL_U32 Zero;
    VOREL_U64 Bytes;
};
static_assert(sizeof(VOREL_SLAB_STATISTICS_REPLY) == 104 && sizeof(VOREL_DESCRIPTOR_STATISTICS_REPLY) == 16,
              "reserved statistics replies");

namespace vorellib {

/* The status for a Win32 error of a failed request (never VOREL_OK). */
vorel_status MapNativeError(DWORD error);

/*
 * Sends one request on an open connection, synchronously: exact buffer sizes, the
 * byte count reset first. A failure stores the Win32 error in the connection and
 * returns its mapped status; success stores 0. When the request has a reply
 * (outputBytes != 0), fewer bytes than that is VOREL_ERR_SHORT_REPLY.
 */
vorel_status SendRequest(vorel_handle h, DWORD code, void *input, DWORD inputBytes, void *output, DWORD outputBytes);

/*
 * A drive letter argument: upper-cased, 'A'..'Z' or false. Refusals of a letter or a
 * value set the connection's native error to 0 (nothing was sent).
 */
bool NormaliseLetter(char letter, WCHAR *out);
vorel_status RefuseArgument(vorel_handle h);
/*
 * A request whose input is only a drive letter (VOREL_LETTER_INPUT); *sent is the
 * letter as sent. A reply (outputBytes != 0) must come back whole.
 */
vorel_status SendLetterRequest(vorel_handle h, DWORD code, char letter, WCHAR *sent, void *output = nullptr,
                               DWORD outputBytes = 0);
/*
 * A letter request with a reply record: refuses a null handle or output (*output is
 * only checked, never written), zero-fills reply and sends. The caller copies the
 * reply out only when this returns VOREL_OK (the reply came back whole).
 */
vorel_status QueryLetterRecord(vorel_handle h, DWORD code, char letter, const void *output, void *reply,
                               DWORD replyBytes);
/* An image path is empty or begins with a drive letter, a colon and a separator. */
bool ValidImagePath(const char *path);
/* Tells the shell a drive came or went (after create and dismount). */
void NotifyShell(WCHAR letter, bool added);

/*
 * Text between the caller's UTF-8 and the driver's UTF-16 arrays. Outgoing: an
 * empty string gives an empty field; otherwise the text must be valid UTF-8 that
 * fits the field with its NUL (false otherwise: the operation is refused).
 * Incoming: the field's text, at most its capacity, converted into at most
 * size - 1 bytes and NUL-terminated (empty when it does not convert or fit).
 */
bool ToWideField(const char *text, WCHAR *field, int capacity);
/* A caller record's text array: its NUL must lie inside the array, else false. */
template <size_t N>
bool RecordToWideField(const char (&text)[N], WCHAR *field, int capacity)
{
    return memchr(text, 0, N) != nullptr && ToWideField(text, field, capacity);
}
void FromWideField(const WCHAR *field, size_t capacity, char *text, size_t size);

} // namespace vorellib
