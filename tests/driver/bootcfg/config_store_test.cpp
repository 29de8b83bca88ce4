/*
 * The stored boot configuration: what a set writes is what the list reads back,
 * at the limits of every field; entries edited by hand are read by the store's
 * rules (masks, clamps, cut strings, values of the wrong type ignored, an entry
 * without size listed as corrupt); refused sets and failed writes change nothing.
 */
#include "boot_config_test.h"

namespace {

const char *kVolumes = "Parameters\\Volumes";

/* A hand-edited value below Parameters\Volumes\<letter>, the keys above made first. */
void HandWrite(char letter, const char *value, ULONG type, const void *data, ULONG size)
{
    ULONG version = 1;
    WriteServiceValue("Parameters", "Unused", REG_DWORD, &version, sizeof(version));
    WriteServiceValue(kVolumes, "ConfigVersion", REG_DWORD, &version, sizeof(version));
    std::string key = std::string(kVolumes) + "\\" + letter;
    WriteServiceValue(key.c_str(), value, type, data, size);
}
void HandWriteText(char letter, const char *value, ULONG type, const std::u16string &text)
{
    HandWrite(letter, value, type, text.data(), (ULONG)(text.size() * sizeof(char16_t)));
}

/* The raw data of a value below Parameters\Volumes\<letter>, as UTF-16 units; empty when missing. */
std::u16string RawValue(char letter, const char *value)
{
    std::string path = std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorel\\") + kVolumes +
                       "\\" + letter;
    support::Name keyName(path.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &keyName.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa)))
        return u"";
    support::Name valueName(value);
    std::vector<UCHAR> buffer(8192);
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName.string, KeyValuePartialInformation, buffer.data(),
                                      (ULONG)buffer.size(), &length);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return u"";
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    return std::u16string((const char16_t *)info->Data, info->DataLength / 2);
}

std::string Text(const VOREL_WCHAR *array, size_t units)
{
    return Narrow((const char16_t *)array, units);
}

} // namespace

TEST_F(BootConfigTest, EntriesRoundTripAtTheirFieldLimits)
{
    std::string label(31, 'L'), image = "H:\\" + std::string(508, 'p'), folders;
    while (folders.size() < 1023)
        folders += folders.size() % 12 == 11 ? '\n' : (char)('a' + folders.size() % 26);
    folders.back() = 'z';
    auto full = Entry('A', 0x37, ~0ull, image, 86400);
    full->CompressionLevel = 3;
    Put(full->Label, label);
    Put(full->InitialFolders, folders);
    ASSERT_EQ(Set(*full), STATUS_SUCCESS);
    ASSERT_EQ(Set(*Entry('Z', 0, 1)), STATUS_SUCCESS);
    // Two line feeds in a row make no empty folder.
    auto gaps = Entry('M', 0);
    Put(gaps->InitialFolders, "\nx\n\ny\n");
    ASSERT_EQ(Set(*gaps), STATUS_SUCCESS);

    auto list = Query();
    ASSERT_EQ(list->Count, 3u);
    const VOREL_BOOT_CONFIGURATION &a = list->Entries[0], &m = list->Entries[1], &z = list->Entries[2];
    EXPECT_EQ(a.Letter, 'A');
    EXPECT_EQ(a.Flags, 0x37u);
    EXPECT_EQ(a.SizeBytes, ~0ull);
    EXPECT_EQ(a.CompressionLevel, 3u);
    EXPECT_EQ(a.SaveIntervalSeconds, 86400u);
    EXPECT_EQ(Text(a.Label, VOREL_LABEL_UNITS), label);
    EXPECT_EQ(Text(a.ImagePath, VOREL_PATH_UNITS), image);
    EXPECT_EQ(Text(a.InitialFolders, VOREL_FOLDERS_UNITS), folders);
    EXPECT_EQ(a.Mounted, 0u);
    EXPECT_EQ(a.AutoMountStatus, 0u);
    EXPECT_EQ(Text(m.InitialFolders, VOREL_FOLDERS_UNITS), "x\ny");
    EXPECT_EQ(RawValue('M', "InitialFolders"), std::u16string(u"x\0y\0\0", 5));
    EXPECT_EQ(RawValue('Z', "Label"), std::u16string(1, u'\0'));
    EXPECT_EQ(RawValue('Z', "ImagePath"), u"");
    EXPECT_EQ(z.Letter, 'Z');
    EXPECT_EQ(z.SizeBytes, 1u);
    EXPECT_EQ(z.Flags | z.CompressionLevel | z.SaveIntervalSeconds | z.Label[0] | z.ImagePath[0], 0u);

    // The folders are stored as separate strings; a set of the letter again starts afresh.
    auto periodic = Entry('P', 0x14, 64 * kMiB, "H:\\p.img", 30);
    ASSERT_EQ(Set(*periodic), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_TRUE(ReadServiceDword("Parameters\\Volumes\\P", "AutoSavePeriodSec", &value));
    EXPECT_EQ(value, 30u);
    EXPECT_TRUE(ReadServiceDword(kVolumes, "ConfigVersion", &value));
    EXPECT_EQ(value, 1u);
    ASSERT_EQ(Set(*Entry('P', 0x4, 64 * kMiB, "H:\\p.img")), STATUS_SUCCESS);
    EXPECT_FALSE(ReadServiceDword("Parameters\\Volumes\\P", "AutoSavePeriodSec", &value));

    // A delete takes one letter; a missing one is success.
    EXPECT_EQ(Delete('M'), STATUS_SUCCESS);
    EXPECT_EQ(Delete('M'), STATUS_SUCCESS);
    list = Query();
    EXPECT_EQ(list->Count, 3u);
    EXPECT_EQ(Find(*list, 'M'), nullptr);
}

TEST_F(BootConfigTest, HandEditedEntriesAreReadByTheStoreRules)
{
    // Nothing stored at all: the list is empty, a delete finds no store.
    EXPECT_EQ(Query()->Count, 0u);
    EXPECT_EQ(Delete('A'), STATUS_OBJECT_NAME_NOT_FOUND);

    ULONGLONG size = 8 * kMiB;
    ULONG seven = 7, all = 0xFF, periodic = 0x10, one = 1;
    HandWrite('B', "SizeBytes", REG_QWORD, &size, sizeof(size));
    HandWrite('B', "CompressLevel", REG_DWORD, &seven, sizeof(seven));
    HandWrite('B', "Flags", REG_DWORD, &all, sizeof(all));
    HandWrite('C', "SizeBytes", REG_QWORD, &size, sizeof(size));
    HandWrite('C', "Flags", REG_DWORD, &periodic, sizeof(periodic));
    // No size: corrupt, listed with what was read.
    HandWriteText('D', "Label", REG_SZ, std::u16string(u"nosize") + u'\0');
    // A size of the wrong type is no size.
    HandWrite('F', "SizeBytes", REG_DWORD, &one, sizeof(one));
    // Values of the wrong type are ignored; strings lose trailing NULs and are cut.
    HandWrite('E', "SizeBytes", REG_QWORD, &size, sizeof(size));
    HandWriteText('E', "Flags", REG_SZ, u"4");
    HandWrite('E', "CompressLevel", REG_QWORD, &size, sizeof(size));
    HandWriteText('E', "Label", REG_SZ, std::u16string(u"lab") + u'\0' + u'\0' + u'\0');
    HandWriteText('E', "InitialFolders", REG_SZ, std::u16string(u"single") + u'\0');
    HandWriteText('E', "ImagePath", REG_MULTI_SZ, std::u16string(u"H:\\x.img") + u'\0' + u'\0');
    HandWriteText('G', "Label", REG_SZ, std::u16string(40, u'g'));
    HandWrite('G', "SizeBytes", REG_QWORD, &size, sizeof(size));
    HandWriteText('G', "ImagePath", REG_SZ, u"H:\\" + std::u16string(600, u'i'));
    HandWriteText('G', "InitialFolders", REG_MULTI_SZ, std::u16string(u"a") + u'\0' + u'\0' + u"b" + u'\0' + u'\0');

    auto list = Query();
    ASSERT_EQ(list->Count, 6u);
    const VOREL_BOOT_CONFIGURATION *b = Find(*list, 'B'), *c = Find(*list, 'C'), *dd = Find(*list, 'D'),
                                   *e = Find(*list, 'E'), *f = Find(*list, 'F'), *g = Find(*list, 'G');
    ASSERT_TRUE(b && c && dd && e && f && g);
    EXPECT_EQ(b->CompressionLevel, 0u);
    EXPECT_EQ(b->Flags, 0x37u);
    EXPECT_EQ(c->Flags, 0x14u);
    EXPECT_EQ(dd->AutoMountStatus, (ULONG)STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(Text(dd->Label, VOREL_LABEL_UNITS), "nosize");
    EXPECT_EQ(f->AutoMountStatus, (ULONG)STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(e->AutoMountStatus, 0u);
    EXPECT_EQ(e->Flags, 0u);
    EXPECT_EQ(e->CompressionLevel, 0u);
    EXPECT_EQ(Text(e->Label, VOREL_LABEL_UNITS), "lab");
    EXPECT_EQ(e->InitialFolders[0], 0u);
    EXPECT_EQ(e->ImagePath[0], 0u);
    EXPECT_EQ(Text(g->Label, VOREL_LABEL_UNITS), std::string(31, 'g'));
    EXPECT_EQ(Text(g->ImagePath, VOREL_PATH_UNITS).size(), 511u);
    EXPECT_EQ(Text(g->InitialFolders, VOREL_FOLDERS_UNITS), "a\nb");
}

TEST_F(BootConfigTest, RefusedSetsAndFailedWritesChangeNothing)
{
    ASSERT_EQ(Set(*Entry('A', 0x14, 64 * kMiB, "H:\\a.img", 60)), STATUS_SUCCESS);
    auto before = Query();

    // Refusals (each field's range is swept by the control tests) leave the store as it was.
    struct Bad {
        char letter;
        ULONG flags;
        ULONGLONG size;
        const char *image;
        ULONG period;
    };
    const Bad bad[] = {{'a', 0, 1, "", 0},       {'A', 0x8, 1, "", 0},         {'A', 0, 0, "", 0},
                       {'A', 0x4, 1, "", 0},     {'A', 0x14, 1, "H:\\a", 4}, {'A', 0x10, 1, "H:\\a", 60}};
    for (const Bad &row : bad)
        EXPECT_EQ(Set(*Entry(row.letter, row.flags, row.size, row.image, row.period)), STATUS_INVALID_PARAMETER)
            << row.letter << " flags " << row.flags;
    auto entry = Entry('B', 0);
    EXPECT_EQ(Control(IOCTL_VOREL_SET_BOOT_CONFIGURATION, entry.get(), sizeof(*entry) - 1), STATUS_BUFFER_TOO_SMALL);
    auto list = std::make_unique<VOREL_BOOT_CONFIGURATION_LIST>();
    EXPECT_EQ(Control(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION, nullptr, 0, list.get(), sizeof(*list) - 1),
              STATUS_BUFFER_TOO_SMALL);
    VOREL_LETTER_INPUT lower{'a', 0};
    EXPECT_EQ(Control(IOCTL_VOREL_DELETE_BOOT_CONFIGURATION, &lower, sizeof(lower)), STATUS_INVALID_PARAMETER);

    // Each registry write of a set failing in turn: the set fails and leaves no entry of B.
    auto full = Entry('B', 0x14, 64 * kMiB, "H:\\b.img", 30);
    Put(full->Label, "label");
    Put(full->InitialFolders, "x\ny");
    for (uint64_t nth = 1;; ++nth) {
        machine::ArmFault("ZwSetValueKey", nth);
        NTSTATUS status = Set(*full);
        bool injected = machine::FaultsInjected("ZwSetValueKey") != 0;
        machine::DisarmFaults();
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << nth;
        EXPECT_EQ(Find(*Query(), 'B'), nullptr) << nth;
    }

    auto after = Query();
    ASSERT_EQ(after->Count, 2u);
    EXPECT_EQ(memcmp(&after->Entries[0], &before->Entries[0], sizeof(VOREL_BOOT_CONFIGURATION)), 0);
}
