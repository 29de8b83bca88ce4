/*
 * The library's driver requests: the checks made before anything is sent, the
 * records that go out, and what comes back.
 */
#include <vorellib.h>
#include <vorel_control.h>
#include <ntdef.h>
#include <ntstatus.h>

#include "test_host.h"
#include "win32_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

std::vector<uint8_t> Bytes(const void *data, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + size);
}

template <typename Record>
Record As(const std::vector<uint8_t> &bytes)
{
    Record record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(record)));
    return record;
}

std::u16string Field(const wchar_t *units)
{
    return std::u16string(reinterpret_cast<const char16_t *>(units));
}

class Requests : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        ASSERT_EQ(VOREL_OK, vorel_connect(&h_, nullptr));
        for (uint32_t code : {IOCTL_VOREL_CREATE_VOLUME, IOCTL_VOREL_DISMOUNT_VOLUME, IOCTL_VOREL_RESIZE_VOLUME,
                              IOCTL_VOREL_SAVE_VOLUME, IOCTL_VOREL_SET_BOOT_CONFIGURATION,
                              IOCTL_VOREL_DELETE_BOOT_CONFIGURATION})
            testhost::ScriptReply(code, {STATUS_SUCCESS, {}, 0});
    }
    void TearDown() override
    {
        vorel_disconnect(h_);
        TestHost::TearDown();
    }
    size_t Sent() const { return testhost::SeenRequests().size(); }
    testhost::SeenRequest Last() const { return testhost::SeenRequests().back(); }
    /* Sets the native error to something a refusal must clear. */
    void Dirty()
    {
        testhost::ScriptReply(IOCTL_VOREL_GET_SETTINGS, {STATUS_ACCESS_DENIED, {}, 0});
        unsigned int allow;
        ASSERT_EQ(VOREL_ERR_ACCESS_DENIED, vorel_settings_get(h_, &allow));
        ASSERT_EQ(5u, vorel_last_native_error(h_));
    }
    vorel_handle h_ = nullptr;
};

TEST_F(Requests, CreateChecksItsArgumentsBeforeSendingAndBuildsTheRecord)
{
    auto spec = std::make_unique<vorel_volume_spec>();
    std::memset(spec.get(), 0, sizeof(*spec));
    spec->letter = 'r';
    spec->size = 0x3FFFFF;
    Dirty();
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_create(h_, spec.get())); /* below 4 MiB without an image */
    EXPECT_EQ(0u, vorel_last_native_error(h_));
    spec->size = 0x400000;
    for (auto change : {+[](vorel_volume_spec *s) { s->letter = '1'; }, +[](vorel_volume_spec *s) { s->compression = 4; },
                        +[](vorel_volume_spec *s) { s->flags = 0x20; },
                        +[](vorel_volume_spec *s) { std::strcpy(s->image_path, "relative.img"); }}) {
        vorel_volume_spec copy = *spec;
        change(&copy);
        EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_create(h_, &copy));
    }
    // Drive C: is in use (the Linux root): already exists, and nothing is sent.
    vorel_volume_spec onC = *spec;
    onC.letter = 'C';
    EXPECT_EQ(VOREL_ERR_EXISTS, vorel_volume_create(h_, &onC));
    // Text that is not UTF-8, or does not fit 31 characters.
    vorel_volume_spec text = *spec;
    std::strcpy(text.label, "bad\xC3");
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_create(h_, &text));
    std::memset(text.label, 'x', 32);
    text.label[32] = 0;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_create(h_, &text));
    size_t sent = Sent();

    std::strcpy(spec->label, "\xC3\xA9t\xC3\xA9");
    spec->flags = 0x9;
    spec->compression = 3;
    std::strcpy(spec->folders, "a\nb\\c");
    ASSERT_EQ(VOREL_OK, vorel_volume_create(h_, spec.get()));
    ASSERT_EQ(sent + 1, Sent());
    auto record = As<VOREL_CREATE_VOLUME_INPUT>(Last().input);
    EXPECT_EQ(3160u, Last().input.size());
    EXPECT_EQ(0u, Last().outputLength);
    EXPECT_EQ(u'R', record.Letter);
    EXPECT_EQ(0x400000u, record.SizeBytes);
    EXPECT_EQ(0x9u | (3u << 1), record.Flags);
    EXPECT_EQ(u"\u00e9t\u00e9", Field(record.Label));
    EXPECT_EQ(u"", Field(record.ImagePath));
    EXPECT_EQ(u"a\nb\\c", Field(record.InitialFolders));
    // With an image any size goes, 0 included.
    spec->size = 0;
    std::strcpy(spec->image_path, "D:/images/r.img");
    EXPECT_EQ(VOREL_OK, vorel_volume_create(h_, spec.get()));
    EXPECT_EQ(u"D:/images/r.img", Field(As<VOREL_CREATE_VOLUME_INPUT>(Last().input).ImagePath));
}

TEST_F(Requests, CreateAndDismountTellTheShell)
{
    auto before = win32::ShellNotifications().size();
    EXPECT_EQ(VOREL_OK, vorel_volume_dismount(h_, 'q'));
    auto record = As<VOREL_LETTER_INPUT>(Last().input);
    EXPECT_EQ(u'Q', record.Letter);
    EXPECT_EQ(4u, Last().input.size());
    auto notifications = win32::ShellNotifications();
    ASSERT_EQ(before + 2, notifications.size());
    EXPECT_EQ(0x80u, notifications[before].event); /* drive removed */
    EXPECT_EQ(u"Q:\\", notifications[before].path);
    EXPECT_EQ(0x1000u, notifications[before + 1].event); /* the computer folder changed */
    // A failed dismount tells nobody.
    testhost::ScriptReply(IOCTL_VOREL_DISMOUNT_VOLUME, {STATUS_DEVICE_BUSY, {}, 0});
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_volume_dismount(h_, 'Q'));
    EXPECT_EQ(170u, vorel_last_native_error(h_));
    EXPECT_EQ(before + 2, win32::ShellNotifications().size());
}

TEST_F(Requests, ResizeAndSaveSendTheirRecords)
{
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_resize(h_, 'R', 0x3FFFFF));
    ASSERT_EQ(VOREL_OK, vorel_volume_resize(h_, 'R', 0x400000));
    auto resize = As<VOREL_RESIZE_INPUT>(Last().input);
    EXPECT_EQ(16u, Last().input.size());
    EXPECT_EQ(u'R', resize.Letter);
    EXPECT_EQ(0x400000u, resize.NewSizeBytes);

    ASSERT_EQ(VOREL_OK, vorel_volume_save(h_, 'r', nullptr));
    auto save = As<VOREL_SAVE_INPUT>(Last().input);
    EXPECT_EQ(1032u, Last().input.size());
    EXPECT_EQ(u'R', save.Letter);
    EXPECT_EQ(u"", Field(save.NewImagePath));
    ASSERT_EQ(VOREL_OK, vorel_volume_save(h_, 'R', "C:\\new.img"));
    EXPECT_EQ(u"C:\\new.img", Field(As<VOREL_SAVE_INPUT>(Last().input).NewImagePath));
    testhost::ScriptReply(IOCTL_VOREL_SAVE_VOLUME, {STATUS_INVALID_DEVICE_STATE, {}, 0});
    EXPECT_EQ(VOREL_ERR_NO_IMAGE, vorel_volume_save(h_, 'R', ""));
}

TEST_F(Requests, BootConfigurationsAreCheckedStoredAndListed)
{
    auto config = std::make_unique<vorel_boot_config>();
    std::memset(config.get(), 0, sizeof(*config));
    config->letter = 'S';
    config->size = 1ull << 30;
    config->flags = 0x20; /* no Recycle Bin: valid here, unlike in a volume spec */
    ASSERT_EQ(VOREL_OK, vorel_config_set(h_, config.get()));
    auto record = As<VOREL_BOOT_CONFIGURATION>(Last().input);
    EXPECT_EQ(3168u, Last().input.size());
    EXPECT_EQ(0x20u, record.Flags);
    size_t sent = Sent();
    config->flags = 0x10; /* periodic without autosave */
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_set(h_, config.get()));
    config->flags = 0x14;
    std::strcpy(config->image_path, "C:\\s.img");
    config->period = 4;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_set(h_, config.get()));
    config->period = 86401;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_set(h_, config.get()));
    config->flags = 0x4;
    config->image_path[0] = 0; /* autosave without an image */
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_set(h_, config.get()));
    EXPECT_EQ(sent, Sent());
    config->flags = 0x14;
    config->period = 86400;
    std::strcpy(config->image_path, "C:\\s.img");
    ASSERT_EQ(VOREL_OK, vorel_config_set(h_, config.get()));
    EXPECT_EQ(86400u, As<VOREL_BOOT_CONFIGURATION>(Last().input).SaveIntervalSeconds);

    auto list = std::make_unique<VOREL_BOOT_CONFIGURATION_LIST>();
    std::memset(list.get(), 0, sizeof(*list));
    list->Count = 30;
    list->Entries[0].Letter = 'S';
    list->Entries[0].Flags = 0x16;
    list->Entries[0].SizeBytes = 1ull << 30;
    list->Entries[0].Mounted = 1;
    list->Entries[0].AutoMountStatus = 0xC0000102;
    std::memcpy(list->Entries[0].InitialFolders, u"a\nb", 8);
    testhost::ScriptReply(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION,
                          {STATUS_SUCCESS, Bytes(list.get(), sizeof(*list)), sizeof(*list)});
    std::vector<vorel_boot_config> entries(26);
    unsigned int count = 0;
    ASSERT_EQ(VOREL_OK, vorel_config_query(h_, entries.data(), &count));
    EXPECT_EQ(26u, count);
    EXPECT_EQ('S', entries[0].letter);
    EXPECT_EQ(0x16u, entries[0].flags);
    EXPECT_EQ(1u, entries[0].mounted);
    EXPECT_EQ(0xC0000102u, entries[0].auto_mount_status);
    EXPECT_STREQ("a\nb", entries[0].folders);
    // One byte short: nothing filled, count 0.
    testhost::ScriptReply(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION,
                          {STATUS_SUCCESS, Bytes(list.get(), sizeof(*list)), sizeof(*list) - 1});
    entries[0].letter = '?';
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_config_query(h_, entries.data(), &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ('?', entries[0].letter);
}

} // namespace
