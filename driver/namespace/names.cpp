/*
 * Names: what a valid new name is, how a name is hashed, and looking a name up in
 * a directory. Names keep their case and compare without it.
 */
#include "vorel.h"

/*
 * IsValidNewName: "." and "..", control characters and any of " * / : < > ? \ |
 * make a name invalid; everything else (spaces and dots anywhere included) is
 * allowed. The empty name passes here; MakeLink refuses its length.
 */
BOOLEAN IsValidNewName(PCUNICODE_STRING Name)
{
    USHORT count = Name->Length / sizeof(WCHAR);
    if ((count == 1 && Name->Buffer[0] == L'.') || (count == 2 && Name->Buffer[0] == L'.' && Name->Buffer[1] == L'.'))
        return FALSE;
    for (USHORT i = 0; i < count; ++i) {
        WCHAR c = Name->Buffer[i];
        if (c < 0x20)
            return FALSE;
        switch (c) {
        case L'"': case L'*': case L'/': case L':': case L'<': case L'>': case L'?': case L'\\': case L'|':
            return FALSE;
        default:
            break;
        }
    }
    return TRUE;
}

/*
 * HashName: XXH3 over the upper-cased name, so equal names in any case hash equal.
 * A name longer than UPCASE_NAME_BYTES, or one the system cannot upper-case, is
 * hashed as it is stored. Any IRQL at which the upcase table is resident.
 */
ULONGLONG HashName(PCUNICODE_STRING Name)
{
    WCHAR upcased[UPCASE_NAME_BYTES / sizeof(WCHAR)];
    if (Name->Length <= UPCASE_NAME_BYTES) {
        UNICODE_STRING upper;
        upper.Buffer = upcased;
        upper.Length = 0;
        upper.MaximumLength = (USHORT)sizeof(upcased);
        if (NT_SUCCESS(RtlUpcaseUnicodeString(&upper, Name, FALSE)))
            return HashBytes(upper.Buffer, upper.Length);
    }
    return HashBytes(Name->Buffer, Name->Length);
}

/*
 * LookupChild: the first child link of Directory whose name equals Name without
 * regard to case, or NULL. The caller holds the directory's main resource (shared
 * is enough) and references what it keeps before releasing it.
 */
PLINK LookupChild(PFCB Directory, PCUNICODE_STRING Name)
{
    if (Directory->HasChildIndex) {
        ULONGLONG hash = HashName(Name);
        PLIST_ENTRY bucket = HashBucket(Directory->ChildIndex, hash);
        for (PLIST_ENTRY entry = bucket->Flink; entry != bucket; entry = entry->Flink) {
            PLINK link = CONTAINING_RECORD(entry, LINK, IndexEntry.Links);
            if (link->IndexEntry.Hash == hash && RtlEqualUnicodeString(&link->Name, Name, TRUE))
                return link;
        }
        return NULL;
    }
    for (PLIST_ENTRY entry = Directory->Children.Flink; entry != &Directory->Children; entry = entry->Flink) {
        PLINK link = CONTAINING_RECORD(entry, LINK, SiblingLinks);
        if (RtlEqualUnicodeString(&link->Name, Name, TRUE))
            return link;
    }
    return NULL;
}
