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
    // Text without its NUL inside the array is refused, not read past (the folders end the block).
    auto unterminated = std::make_unique<vorel_volume_spec>(*spec);
    std::memset(unterminated->folders, 'f', sizeof(unterminated->folders));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_create(h_, unterminated.get()));
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
    EXPECT_EQ(0x80u, notifications[before].event);   /* drive removed */
    EXPECT_EQ(0x3005u, notifications[before].flags); /* a path, flushed without waiting */
    EXPECT_EQ(u"Q:\\", notifications[before].path);
    EXPECT_EQ(0x1000u, notifications[before + 1].event); /* the computer folder changed */
    EXPECT_EQ(0x0u, notifications[before + 1].flags);    /* by item list */
    EXPECT_EQ(0u, win32::TaskMemoryBlocks());            /* and the list was freed */
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
    auto unterminated = std::make_unique<vorel_boot_config>(*config);
    unterminated->flags = 0;
    std::memset(unterminated->folders, 'f', sizeof(unterminated->folders)); /* no NUL before the block ends */
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_set(h_, unterminated.get()));
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

TEST_F(Requests, ImportedConfigurationsReachTheDriverOnlyWhenStorable)
{
    const char *text = R"({"platform": "windows", "volumes": [
        {"letter": "s", "sizeBytes": 1048576}, {"letter": "s", "sizeBytes": 2097152},
        {"letter": "\u00e9", "sizeBytes": 1}, {"letter": "T"}, {"letter": "U", "sizeBytes": 1, "autoSave": true},
        {"letter": "V", "sizeBytes": 1, "autoSave": true, "savePeriodic": true, "autoSavePeriodSec": 4,
         "imagePath": "C:\\v.img"},
        {"letter": "W", "sizeBytes": 1, "label": "0123456789012345678901234567890123"}]})";
    std::vector<vorel_boot_config> entries(26);
    unsigned int count = 0;
    ASSERT_EQ(VOREL_OK, vorel_config_import_json(text, entries.data(), &count));
    ASSERT_EQ(7u, count);
    for (unsigned int i = 0; i < count; ++i) { /* the two S entries are stored, as the driver would be asked */
        size_t sent = Sent();
        EXPECT_EQ(i < 2 ? VOREL_OK : VOREL_ERR_INVALID, vorel_config_set(h_, &entries[i])) << i;
        EXPECT_EQ(sent + (i < 2), Sent()) << i;
    }
    EXPECT_EQ(2097152u, As<VOREL_BOOT_CONFIGURATION>(Last().input).SizeBytes);
}

TEST_F(Requests, CreateFindsTakenLettersWithoutSendingOrMounting)
{
    auto spec = std::make_unique<vorel_volume_spec>();
    std::memset(spec.get(), 0, sizeof(*spec));
    spec->letter = 't';
    spec->size = 64ull << 20;
    size_t sent = Sent();
    testhost::MakeDriveLink('T'); /* a drive another device holds */
    int creates = testhost::Count().creates;
    EXPECT_EQ(VOREL_ERR_EXISTS, vorel_volume_create(h_, spec.get()));
    EXPECT_EQ(0u, vorel_last_native_error(h_));
    EXPECT_EQ(sent, Sent());
    EXPECT_EQ(creates, testhost::Count().creates); /* the drive was not opened to find out */
    // A host-mapped drive is taken too.
    setenv("VOREL_HOST_DRIVES", "d=/tmp,K=/srv", 1);
    spec->letter = 'K';
    EXPECT_EQ(VOREL_ERR_EXISTS, vorel_volume_create(h_, spec.get()));
    unsetenv("VOREL_HOST_DRIVES");
    EXPECT_EQ(sent, Sent());
    // Once the link is gone the letter is free again.
    testhost::RemoveDriveLink('T');
    spec->letter = 'T';
    EXPECT_EQ(VOREL_OK, vorel_volume_create(h_, spec.get()));
    EXPECT_EQ(sent + 1, Sent());
    auto notifications = win32::ShellNotifications();
    ASSERT_GE(notifications.size(), 2u);
    EXPECT_EQ(0x100u, notifications[notifications.size() - 2].event); /* drive added */
    EXPECT_EQ(u"T:\\", notifications[notifications.size() - 2].path);
    EXPECT_EQ(0u, win32::TaskMemoryBlocks());
}

/* Every request that takes a letter refuses one outside A..Z before sending, clears the
 * native error, and leaves its output alone; a null handle or output is refused too. */
TEST_F(Requests, LetterRequestsRefuseBadLettersBeforeSending)
{
    unsigned int value = 77, ids[4] = {}, count = 0;
    vorel_comp_stats comp{};
    vorel_slab_stats slab{};
    vorel_sd_stats sd{};
    vorel_status (*const requests[])(vorel_handle, char, void *) = {
        +[](vorel_handle h, char l, void *) { return vorel_volume_dismount(h, l); },
        +[](vorel_handle h, char l, void *) { return vorel_volume_resize(h, l, 1ull << 30); },
        +[](vorel_handle h, char l, void *) { return vorel_volume_save(h, l, nullptr); },
        +[](vorel_handle h, char l, void *) { return vorel_config_delete(h, l); },
        +[](vorel_handle h, char l, void *) { return vorel_compress_set(h, l, 1); },
        +[](vorel_handle h, char l, void *out) { return vorel_compress_get(h, l, static_cast<unsigned int *>(out)); },
        +[](vorel_handle h, char l, void *out) { return vorel_comp_stats_query(h, l, static_cast<vorel_comp_stats *>(out)); },
        +[](vorel_handle h, char l, void *out) { return vorel_slab_stats_query(h, l, static_cast<vorel_slab_stats *>(out)); },
        +[](vorel_handle h, char l, void *out) { return vorel_sd_stats_query(h, l, static_cast<vorel_sd_stats *>(out)); },
    };
    void *outputs[] = {nullptr, nullptr, nullptr, nullptr, nullptr, &value, &comp, &slab, &sd};
    size_t sent = Sent();
    for (size_t i = 0; i < sizeof(requests) / sizeof(requests[0]); ++i) {
        for (char letter : {'@', '[', '1', ':', '\0', '{'}) {
            Dirty();
            sent = Sent();
            EXPECT_EQ(VOREL_ERR_INVALID, requests[i](h_, letter, outputs[i])) << i << " " << (int)letter;
            EXPECT_EQ(0u, vorel_last_native_error(h_)) << i;
            EXPECT_EQ(sent, Sent()) << i;
        }
        EXPECT_EQ(VOREL_ERR_INVALID, requests[i](nullptr, 'R', outputs[i])) << i;
        if (outputs[i] != nullptr) {
            Dirty();
            EXPECT_EQ(VOREL_ERR_INVALID, requests[i](h_, 'R', nullptr)) << i;
            EXPECT_EQ(5u, vorel_last_native_error(h_)) << i; /* a missing output leaves it alone */
        }
    }
    EXPECT_EQ(77u, value);
    Dirty();
    sent = Sent();
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_holders(h_, '1', ids, 4, &count));
    EXPECT_EQ(0u, vorel_last_native_error(h_));
    Dirty();
    sent = Sent();
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_holders(h_, 'R', ids, 0, &count)); /* a bad value */
    EXPECT_EQ(0u, vorel_last_native_error(h_));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_holders(h_, 'R', nullptr, 4, &count));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_volume_holders(h_, 'R', ids, 4, nullptr));
    EXPECT_EQ(sent, Sent());
}

TEST_F(Requests, CompressionLevelIsCheckedSentAndRead)
{
    size_t sent = Sent();
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_compress_set(h_, 'R', 4));
    EXPECT_EQ(sent, Sent());
    testhost::ScriptReply(IOCTL_VOREL_SET_COMPRESSION_LEVEL, {STATUS_SUCCESS, {}, 0});
    ASSERT_EQ(VOREL_OK, vorel_compress_set(h_, 'r', 3));
    auto set = As<VOREL_COMPRESSION_LEVEL>(Last().input);
    EXPECT_EQ(8u, Last().input.size());
    EXPECT_EQ(0u, Last().outputLength);
    EXPECT_EQ(u'R', set.Letter);
    EXPECT_EQ(3u, set.Level);
    testhost::ScriptReply(IOCTL_VOREL_SET_COMPRESSION_LEVEL, {STATUS_OBJECT_NAME_NOT_FOUND, {}, 0});
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_compress_set(h_, 'R', 0));
    EXPECT_EQ(2u, vorel_last_native_error(h_));

    VOREL_COMPRESSION_LEVEL reply = {0, 0, 2};
    testhost::ScriptReply(IOCTL_VOREL_GET_COMPRESSION_LEVEL, {STATUS_SUCCESS, Bytes(&reply, 8), 8});
    unsigned int level = 9;
    ASSERT_EQ(VOREL_OK, vorel_compress_get(h_, 's', &level));
    EXPECT_EQ(2u, level);
    EXPECT_EQ(u'S', As<VOREL_COMPRESSION_LEVEL>(Last().input).Letter);
    EXPECT_EQ(8u, Last().input.size());
    EXPECT_EQ(8u, Last().outputLength);
    testhost::ScriptReply(IOCTL_VOREL_GET_COMPRESSION_LEVEL, {STATUS_SUCCESS, Bytes(&reply, 8), 7});
    level = 9;
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_compress_get(h_, 'S', &level));
    EXPECT_EQ(9u, level);
}

TEST_F(Requests, VolumeStatisticsAreCopiedWholeOrNotAtAll)
{
    VOREL_COMPRESSION_STATISTICS reply;
    uint64_t *counters = reinterpret_cast<uint64_t *>(&reply);
    for (int i = 0; i < 8; ++i)
        counters[i] = 0x1000000000ull + (uint64_t)i;
    testhost::ScriptReply(IOCTL_VOREL_COMPRESSION_STATISTICS, {STATUS_SUCCESS, Bytes(&reply, 64), 64});
    vorel_comp_stats stats;
    std::memset(&stats, 0xAB, sizeof(stats));
    ASSERT_EQ(VOREL_OK, vorel_comp_stats_query(h_, 'r', &stats));
    EXPECT_EQ(4u, Last().input.size());
    EXPECT_EQ(64u, Last().outputLength);
    EXPECT_EQ(u'R', As<VOREL_LETTER_INPUT>(Last().input).Letter);
    const unsigned long long got[] = {stats.compressed_files, stats.compressed_extent_bytes, stats.compressed_memory,
                                      stats.extents_compressed, stats.extents_decompressed, stats.extents_not_worth,
                                      stats.zero_extents_released, stats.held_bytes};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(counters[i], got[i]) << i;
    testhost::ScriptReply(IOCTL_VOREL_COMPRESSION_STATISTICS, {STATUS_SUCCESS, Bytes(&reply, 64), 63});
    std::memset(&stats, 0xAB, sizeof(stats));
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_comp_stats_query(h_, 'R', &stats));
    EXPECT_EQ(0xABABABABABABABABull, stats.compressed_files);

    // The two reserved requests go out with their sizes, and the driver refuses them.
    vorel_slab_stats slab;
    std::memset(&slab, 0xCD, sizeof(slab));
    EXPECT_EQ(VOREL_ERR_NOT_SUPPORTED, vorel_slab_stats_query(h_, 'R', &slab));
    EXPECT_EQ(IOCTL_VOREL_SLAB_STATISTICS, Last().code);
    EXPECT_EQ(104u, Last().outputLength);
    EXPECT_EQ(1u, vorel_last_native_error(h_)); /* invalid function */
    EXPECT_EQ(0xCDCDCDCDu, slab.values[0]);
    vorel_sd_stats sd;
    std::memset(&sd, 0xCD, sizeof(sd));
    EXPECT_EQ(VOREL_ERR_NOT_SUPPORTED, vorel_sd_stats_query(h_, 'R', &sd));
    EXPECT_EQ(IOCTL_VOREL_DESCRIPTOR_STATISTICS, Last().code);
    EXPECT_EQ(16u, Last().outputLength);
    EXPECT_EQ(0xCDCDCDCDu, sd.descriptors);
    // Were a driver to answer them, the records would be copied in order.
    struct {
        uint32_t descriptors, zero;
        uint64_t bytes;
    } sdReply = {7, 0xFFFFFFFFu, 0x123456789ull};
    testhost::ScriptReply(IOCTL_VOREL_DESCRIPTOR_STATISTICS, {STATUS_SUCCESS, Bytes(&sdReply, 16), 16});
    ASSERT_EQ(VOREL_OK, vorel_sd_stats_query(h_, 'R', &sd));
    EXPECT_EQ(7u, sd.descriptors);
    EXPECT_EQ(0u, sd.reserved);
    EXPECT_EQ(0x123456789ull, sd.bytes);
}

TEST_F(Requests, VolumeHoldersAreClampedToTheCapacityAndToSixtyFour)
{
    VOREL_VOLUME_HOLDERS reply;
    std::memset(&reply, 0, sizeof(reply));
    reply.Count = 10;
    for (uint32_t i = 0; i < 64; ++i)
        reply.ProcessIds[i] = 100 + i;
    testhost::ScriptReply(IOCTL_VOREL_VOLUME_HOLDERS, {STATUS_SUCCESS, Bytes(&reply, sizeof(reply)), sizeof(reply)});
    std::vector<unsigned int> ids(80, 0);
    unsigned int count = 99;
    ASSERT_EQ(VOREL_OK, vorel_volume_holders(h_, 'r', ids.data(), 3, &count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ((std::vector<unsigned int>{100, 101, 102, 0}), std::vector<unsigned int>(ids.begin(), ids.begin() + 4));
    EXPECT_EQ(4u, Last().input.size());
    EXPECT_EQ(260u, Last().outputLength);
    EXPECT_EQ(u'R', As<VOREL_LETTER_INPUT>(Last().input).Letter);
    ASSERT_EQ(VOREL_OK, vorel_volume_holders(h_, 'R', ids.data(), 80, &count));
    EXPECT_EQ(10u, count);
    reply.Count = 1000; /* more than the record can hold */
    testhost::ScriptReply(IOCTL_VOREL_VOLUME_HOLDERS, {STATUS_SUCCESS, Bytes(&reply, sizeof(reply)), sizeof(reply)});
    ASSERT_EQ(VOREL_OK, vorel_volume_holders(h_, 'R', ids.data(), 80, &count));
    EXPECT_EQ(64u, count);
    EXPECT_EQ(0u, ids[64]);
    testhost::ScriptReply(IOCTL_VOREL_VOLUME_HOLDERS,
                          {STATUS_SUCCESS, Bytes(&reply, sizeof(reply)), sizeof(reply) - 1});
    std::fill(ids.begin(), ids.end(), 0);
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_volume_holders(h_, 'R', ids.data(), 80, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0u, ids[0]);
}

TEST_F(Requests, MountedVolumesAreListed)
{
    auto list = std::make_unique<VOREL_MOUNTED_VOLUME_LIST>();
    std::memset(list.get(), 0, sizeof(*list));
    list->Count = 27;
    list->Entries[0].Letter = 'R';
    list->Entries[0].Flags = 0x9;
    list->Entries[0].SizeBytes = 512ull << 20;
    list->Entries[0].BytesInUse = 12345;
    list->Entries[0].CompressionLevel = 2;
    std::memcpy(list->Entries[0].Label, u"scr\u00e4tch", 16);
    testhost::ScriptReply(IOCTL_VOREL_QUERY_MOUNTED_VOLUMES,
                          {STATUS_SUCCESS, Bytes(list.get(), sizeof(*list)), sizeof(*list)});
    std::vector<vorel_live_volume> volumes(26);
    std::memset(volumes.data(), 0x5A, sizeof(vorel_live_volume) * 26);
    unsigned int count = 0;
    ASSERT_EQ(VOREL_OK, vorel_live_query(h_, volumes.data(), &count));
    EXPECT_EQ(0u, Last().input.size());
    EXPECT_EQ(29128u, Last().outputLength);
    EXPECT_EQ(26u, count);
    EXPECT_EQ('R', volumes[0].letter);
    EXPECT_EQ(0x9u, volumes[0].flags);
    EXPECT_EQ(2u, volumes[0].compression);
    EXPECT_EQ(512ull << 20, volumes[0].size);
    EXPECT_EQ(12345u, volumes[0].used);
    EXPECT_STREQ("scr\xC3\xA4tch", volumes[0].label);
    EXPECT_STREQ("", volumes[0].image_path);
    EXPECT_EQ(0, volumes[25].letter); /* every filled record is zeroed first */
    testhost::ScriptReply(IOCTL_VOREL_QUERY_MOUNTED_VOLUMES,
                          {STATUS_SUCCESS, Bytes(list.get(), sizeof(*list)), sizeof(*list) - 1});
    volumes[0].letter = '?';
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_live_query(h_, volumes.data(), &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ('?', volumes[0].letter);
    win32::FailHeapAllocation(1); /* the reply buffer */
    EXPECT_EQ(VOREL_ERR_NO_MEMORY, vorel_live_query(h_, volumes.data(), &count));
}

TEST_F(Requests, SystemQueriesNeedNoDriver)
{
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_system_memory_query(nullptr));
    vorel_system_memory memory = {};
    ASSERT_EQ(VOREL_OK, vorel_system_memory_query(&memory));
    EXPECT_GT(memory.total, 0u);
    EXPECT_LE(memory.available, memory.total);
    win32::FailCall("GlobalMemoryStatusEx", 1);
    vorel_system_memory untouched = {1, 2};
    EXPECT_EQ(VOREL_ERR_TRANSPORT, vorel_system_memory_query(&untouched));
    EXPECT_EQ(1u, untouched.total);

    EXPECT_EQ(VOREL_ERR_INVALID, vorel_used_drive_letters(nullptr));
    testhost::MakeDriveLink('Z');
    unsigned int mask = 0;
    ASSERT_EQ(VOREL_OK, vorel_used_drive_letters(&mask));
    EXPECT_EQ((1u << 2) | (1u << 25), mask); /* C: and Z:, nothing above Z */
    testhost::RemoveDriveLink('Z');
    win32::FailCall("GetLogicalDrives", 1);
    mask = 1u << 2;
    EXPECT_EQ(VOREL_ERR_TRANSPORT, vorel_used_drive_letters(&mask));
    EXPECT_EQ(1u << 2, mask);
}

} // namespace

namespace {

TEST_F(Requests, PersistenceStateAndLastErrorAreConvertedWhole)
{
    auto reply = std::make_unique<VOREL_PERSISTENCE_STATE>();
    std::memset(reply.get(), 0, sizeof(*reply));
    reply->Letter = u'R';
    reply->Bound = 1;
    reply->Committed = 1;
    reply->LastSaveStatus = 0xC000007F;
    reply->Generation = 0x100000002ull;
    reply->SlotHighWater = 9;
    reply->LastSaveCounter = 3;
    reply->ImageId[15] = 0xEE;
    const char16_t path[] = u"H:\\imag\u00e9.img";
    std::memcpy(reply->ImagePath, path, sizeof(path));
    testhost::ScriptReply(IOCTL_VOREL_PERSISTENCE_STATE, {STATUS_SUCCESS, Bytes(reply.get(), sizeof(*reply)), 1096});
    auto state = std::make_unique<vorel_persist_state>();
    ASSERT_EQ(VOREL_OK, vorel_persist_query(h_, 'r', state.get()));
    EXPECT_EQ(1096u, Last().input.size());
    EXPECT_EQ(1096u, Last().outputLength);
    EXPECT_EQ(u'R', As<VOREL_PERSISTENCE_STATE>(Last().input).Letter);
    EXPECT_EQ(1u, state->bound);
    EXPECT_EQ(0u, state->checksums);
    EXPECT_EQ(0xC000007Fu, state->last_save_status);
    EXPECT_EQ(0x100000002ull, state->generation);
    EXPECT_EQ(3u, state->last_save_slots);
    EXPECT_EQ(0xEE, state->image_id[15]);
    EXPECT_STREQ("H:\\imag\xc3\xa9.img", state->image_path);
    testhost::ScriptReply(IOCTL_VOREL_PERSISTENCE_STATE, {STATUS_SUCCESS, Bytes(reply.get(), sizeof(*reply)), 1095});
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_persist_query(h_, 'R', state.get()));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_persist_query(h_, 'R', nullptr));

    auto error = std::make_unique<VOREL_PERSISTENCE_ERROR>();
    std::memset(error.get(), 0, sizeof(*error));
    error->Status = 0xC0000102;
    error->Operation = VOREL_OPERATION_LOAD;
    error->Stage = 10;
    error->Valid = 1;
    error->Time = 42;
    const char16_t message[] = u"corrupt metadata record";
    std::memcpy(error->Message, message, sizeof(message));
    testhost::ScriptReply(IOCTL_VOREL_LAST_PERSISTENCE_ERROR, {STATUS_SUCCESS, Bytes(error.get(), 1304), 1304});
    auto got = std::make_unique<vorel_persist_error>();
    ASSERT_EQ(VOREL_OK, vorel_persist_last_error(h_, got.get()));
    EXPECT_EQ(0u, Last().input.size());
    EXPECT_EQ(1304u, Last().outputLength);
    EXPECT_EQ(1u, got->valid);
    EXPECT_EQ(0xC0000102u, got->status);
    EXPECT_EQ(2u, got->operation);
    EXPECT_EQ(10u, got->stage);
    EXPECT_EQ(42u, got->time);
    EXPECT_STREQ("corrupt metadata record", got->message);
    EXPECT_STREQ("", got->image_path);
}

TEST_F(Requests, PrepareUnloadReadsTheCountWheneverAWholeReplyCame)
{
    constexpr unsigned int kUntouched = 0xC0FFEEu;
    auto answer = [](NTSTATUS status, uint32_t count, size_t bytes) {
        testhost::ScriptReply(IOCTL_VOREL_PREPARE_UNLOAD, {status, Bytes(&count, sizeof(count)), bytes});
    };
    unsigned int left = kUntouched;
    size_t sent = Sent();
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_prepare_unload(nullptr, &left));
    EXPECT_EQ(sent, Sent()) << "refused before anything was sent";

    // The busy warning still carries the reply.
    answer(STATUS_DEVICE_BUSY, 2, 4);
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(2u, left);
    EXPECT_EQ(170u, vorel_last_native_error(h_)); /* ERROR_BUSY */
    EXPECT_EQ(IOCTL_VOREL_PREPARE_UNLOAD, Last().code);
    EXPECT_EQ(0u, Last().input.size());
    EXPECT_EQ(4u, Last().outputLength);
    answer(STATUS_SUCCESS, 0, 4);
    EXPECT_EQ(VOREL_OK, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(0u, left);
    EXPECT_EQ(0u, vorel_last_native_error(h_));
    answer(STATUS_DEVICE_BUSY, 1, 4);
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_prepare_unload(h_, nullptr)) << "the count is optional";

    // No short-reply check: without four bytes the caller keeps its own value.
    left = kUntouched;
    answer(STATUS_SUCCESS, 5, 0);
    EXPECT_EQ(VOREL_OK, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(kUntouched, left);
    answer(STATUS_DEVICE_BUSY, 5, 3);
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(kUntouched, left);
    answer(STATUS_ACCESS_DENIED, 5, 4);
    EXPECT_EQ(VOREL_ERR_ACCESS_DENIED, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(kUntouched, left) << "an error carries no reply";
    EXPECT_EQ(5u, vorel_last_native_error(h_));
}

} // namespace
