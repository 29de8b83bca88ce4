/*
 * auto add | del | list: the boot volumes stored in the driver's configuration.
 */
#include "vorelctl.h"

#include <stdlib.h>
#include <string.h>

namespace ctl {

namespace {

const char kAccessHint[] = "blocked by the AllowUserAccess policy \xE2\x80\x94 run elevated";

int PrintAutoUsage()
{
    fprintf(stderr,
            "usage: vorelctl auto add <letter> <size> [label] [nosec] [norecycle]\n"
            "                    [manual] [autosave] [period=<sec>]\n"
            "                    [compress=fast|normal|max]\n"
            "                    [image=<path>] [folders=a;b;c]\n"
            "       vorelctl auto del <letter>\n"
            "       vorelctl auto list\n"
            "       size         = number with K/M/G/T suffix (e.g. 64M, 2G)\n"
            "       norecycle    = no Recycle Bin / System Volume Information folders\n"
            "       manual       = do not auto-mount at boot (listed only)\n"
            "       autosave     = image-backed: save at shutdown and before dismount\n"
            "       period=<sec> = also save every <sec> seconds (implies autosave;\n"
            "                      5..86400)\n"
            "       folders=...  = ';'-separated folders created on every (non-image)\n"
            "                      mount, e.g. folders=temp;cache;build\\output\n");
    return kExitUsage;
}

/* Prints text with every line feed shown as the separator. */
void PrintLines(const char *text, const char *separator)
{
    for (const char *p = text; *p != 0; ++p) {
        if (*p == '\n')
            fputs(separator, stdout);
        else
            fputc(*p, stdout);
    }
}

int Add(int argc, char **argv)
{
    if (argc < 4)
        return PrintAutoUsage();
    auto *config = static_cast<vorel_boot_config *>(calloc(1, sizeof(vorel_boot_config)));
    if (config == nullptr) {
        fprintf(stderr, "vorelctl: out of memory\n");
        return kExitUnavailable;
    }
    VolumeOptions options;
    int result = kExitUsage;
    vorel_handle h = nullptr;
    char sizeText[32];
    if (!ParseLetter(argv[2], &config->letter) || !ParseSize(argv[3], &config->size) ||
        !ParseVolumeOptions(argc, argv, 4, true, &options))
        goto done;
    config->flags = (options.nosec ? 0x1u : 0) | (options.norecycle ? 0x20u : 0) | (options.manual ? 0x2u : 0) |
                    (options.autosave ? 0x4u : 0) | (options.periodic ? 0x10u : 0);
    config->period = (unsigned int)options.period;
    config->compression = options.level;
    if ((config->flags & 0x4u) && options.image == nullptr) {
        fprintf(stderr, "vorelctl: autosave/period need image=<path>\n");
        goto done;
    }
    if (!ConvertArgument(options.label, 32, config->label, sizeof(config->label), "label") ||
        (options.image != nullptr &&
         !ConvertArgument(options.image, 512, config->image_path, sizeof(config->image_path), "image path")) ||
        (options.folders != nullptr &&
         !ConvertArgument(options.folders, 1024, config->folders, sizeof(config->folders), "folders")))
        goto done;
    result = kExitUnavailable;
    if (!Connect(&h))
        goto done;
    {
        vorel_status status = vorel_config_set(h, config);
        if (status != VOREL_OK) {
            result = RequestFailed(h, "store volume configuration", status,
                                   status == VOREL_ERR_ACCESS_DENIED ? kAccessHint : nullptr);
            goto done;
        }
    }
    FormatSize(config->size, sizeText, sizeof(sizeText));
    printf("Configured volume %c: (%s, label='%s'", config->letter, sizeText, options.label);
    if (options.nosec)
        printf(", nosec");
    if (options.norecycle)
        printf(", norecycle");
    if (options.manual)
        printf(", manual");
    if (options.autosave)
        printf(", autosave");
    if (options.periodic)
        printf(", period=%lus", (unsigned long)options.period);
    if (options.level != 0)
        printf(", compress=%s", LevelName(options.level));
    if (options.folders != nullptr) {
        printf(", folders=");
        PrintLines(options.folders, ";");
    }
    if (options.image != nullptr)
        printf(", image=%s", options.image);
    printf(")\n");
    printf("(stored only \xE2\x80\x94 it mounts at the next service start; 'create' mounts it now)\n");
    result = kExitSuccess;
done:
    vorel_disconnect(h);
    free(config);
    return result;
}

int Delete(int argc, char **argv)
{
    char letter;
    if (argc < 3)
        return PrintAutoUsage();
    if (!ParseLetter(argv[2], &letter))
        return kExitUsage;
    vorel_handle h;
    if (!Connect(&h))
        return kExitUnavailable;
    int result = kExitSuccess;
    vorel_status status = vorel_config_delete(h, letter);
    if (status != VOREL_OK)
        result = RequestFailed(h, "remove volume configuration", status,
                               status == VOREL_ERR_NOT_FOUND ? "no configuration for that letter" : nullptr);
    else
        printf("Removed configuration for volume %c: (a mounted volume stays mounted)\n", letter);
    vorel_disconnect(h);
    return result;
}

int ListConfigured()
{
    vorel_handle h;
    if (!Connect(&h))
        return kExitUnavailable;
    auto *entries = static_cast<vorel_boot_config *>(calloc(26, sizeof(vorel_boot_config)));
    if (entries == nullptr) {
        fprintf(stderr, "vorelctl: out of memory\n");
        vorel_disconnect(h);
        return kExitUnavailable;
    }
    unsigned int count = 0;
    int result = kExitSuccess;
    vorel_status status = vorel_config_query(h, entries, &count);
    if (status != VOREL_OK) {
        result = RequestFailed(h, "list volume configurations", status, nullptr);
    } else if (count == 0) {
        printf("No volumes configured\n");
    } else {
        for (unsigned int i = 0; i < count; ++i) {
            const vorel_boot_config &entry = entries[i];
            char sizeText[32];
            WCHAR wide[512];
            FormatSize(entry.size, sizeText, sizeof(sizeText));
            printf("%c:  %-9s  label='%ls'", entry.letter, sizeText, WideText(entry.label, wide, 512));
            if (entry.compression != 0)
                printf("  compress=%s", LevelName(entry.compression));
            if (entry.flags & 0x1)
                printf("  nosec");
            if (entry.flags & 0x20)
                printf("  norecycle");
            if (entry.flags & 0x2)
                printf("  manual");
            if (entry.flags & 0x4)
                printf("  autosave");
            if (entry.flags & 0x10)
                printf("  period=%lus", (unsigned long)entry.period);
            if (entry.image_path[0] != 0)
                printf("\n    image: %ls", WideText(entry.image_path, wide, 512));
            if (entry.folders[0] != 0) {
                printf("\n    folders: ");
                PrintLines(entry.folders, ", ");
            }
            if (entry.mounted)
                printf("\n    state: mounted\n");
            else if (entry.auto_mount_status != 0)
                printf("\n    state: NOT mounted (auto-mount failed 0x%08lX)\n", (unsigned long)entry.auto_mount_status);
            else
                printf("\n    state: not mounted\n");
        }
    }
    free(entries);
    vorel_disconnect(h);
    return result;
}

} // namespace

int Auto(int argc, char **argv)
{
    if (argc < 2)
        return PrintAutoUsage();
    if (_stricmp(argv[1], "add") == 0)
        return Add(argc, argv);
    if (_stricmp(argv[1], "del") == 0)
        return Delete(argc, argv);
    if (_stricmp(argv[1], "list") == 0)
        return ListConfigured();
    return PrintAutoUsage();
}

} // namespace ctl
