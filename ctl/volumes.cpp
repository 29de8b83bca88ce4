/*
 * create, dismount, resize, save: one volume each.
 */
#include "vorelctl.h"

#include <stdlib.h>
#include <string.h>

namespace ctl {

namespace {

const char kAccessHint[] = "blocked by the AllowUserAccess policy \xE2\x80\x94 run elevated";

void PrintCreateUsage()
{
    fprintf(stderr,
            "usage: vorelctl create <letter> <size> [label] [nosec] [norecycle] [compress=fast|normal|max] "
            "[image=<path>] [folders=a;b;c]\n"
            "       size     = number with K/M/G/T suffix (e.g. 64M, 2G)\n"
            "       folders  = ';'-separated folders created on mount (non-image), e.g. folders=temp;a\\b\\c\n"
            "       nosec    = no per-file security (no ACLs, no access checks)\n"
            "       norecycle = no Recycle Bin / System Volume Information folders\n"
            "       compress = cold-file compression level (default none)\n"
            "       image    = persistent image file; an existing image is LOADED\n"
            "                  (its size/label/flags win), a missing one is bound\n"
            "                  and materialises at first 'save'\n");
}

/* The warning after a resize whose boot configuration could not follow. The command
 * to re-run names the bare letter: the letter argument refuses the "X:" form. */
void PrintNotUpdated(char letter)
{
    fprintf(stderr,
            "vorelctl: volume resized, but the boot configuration was NOT updated;\n"
            "          if %c: is a configured volume, re-run 'vorelctl auto add %c ...' with the new size\n",
            letter, letter);
}

/* After a resize, the letter's stored boot configuration (if any) takes the new size. */
void FollowInBootConfiguration(vorel_handle h, char letter, unsigned long long size)
{
    auto *entries = static_cast<vorel_boot_config *>(calloc(26, sizeof(vorel_boot_config)));
    unsigned int count = 0;
    if (entries == nullptr || vorel_config_query(h, entries, &count) != VOREL_OK) {
        PrintNotUpdated(letter);
        free(entries);
        return;
    }
    for (unsigned int i = 0; i < count; ++i) {
        if (entries[i].letter != letter)
            continue;
        entries[i].size = size;
        if (vorel_config_set(h, &entries[i]) == VOREL_OK)
            printf("Updated the boot configuration for volume %c:\n", letter);
        else
            PrintNotUpdated(letter);
        break;
    }
    free(entries);
}

} // namespace

int Create(int argc, char **argv)
{
    if (argc < 3) {
        PrintCreateUsage();
        return kExitUsage;
    }
    VolumeOptions options;
    if (!ParseVolumeOptions(argc, argv, 3, false, &options))
        return kExitUsage;
    vorel_volume_spec *spec = static_cast<vorel_volume_spec *>(calloc(1, sizeof(vorel_volume_spec)));
    if (spec == nullptr) {
        fprintf(stderr, "vorelctl: out of memory\n");
        return kExitUnavailable;
    }
    int result = kExitUsage;
    char sizeText[32];
    vorel_handle h = nullptr;
    if (!ParseLetter(argv[1], &spec->letter) || !ParseSize(argv[2], &spec->size))
        goto done;
    spec->flags = (options.nosec ? 0x1u : 0) | (options.norecycle ? 0x8u : 0);
    spec->compression = options.level;
    if (!ConvertArgument(options.label, 32, spec->label, sizeof(spec->label), "label") ||
        (options.image != nullptr &&
         !ConvertArgument(options.image, 512, spec->image_path, sizeof(spec->image_path), "image path")) ||
        (options.folders != nullptr &&
         !ConvertArgument(options.folders, 1024, spec->folders, sizeof(spec->folders), "folders")))
        goto done;
    result = kExitUnavailable;
    if (!Connect(&h))
        goto done;
    {
        vorel_status status = vorel_volume_create(h, spec);
        if (status != VOREL_OK) {
            result = RequestFailed(h, "create volume", status, status == VOREL_ERR_ACCESS_DENIED ? kAccessHint : nullptr);
            goto done;
        }
    }
    FormatSize(spec->size, sizeText, sizeof(sizeText));
    printf("Created volume %c: (%s, label='%s'%s%s%s%s%s%s)\n", spec->letter, sizeText, options.label,
           options.nosec ? ", nosec" : "", options.norecycle ? ", norecycle" : "",
           options.level != 0 ? ", compress=" : "", options.level != 0 ? LevelName(options.level) : "",
           options.image != nullptr ? ", image=" : "", options.image != nullptr ? options.image : "");
    if (options.image != nullptr)
        printf("(loaded values from an existing image override size/label shown above)\n");
    result = kExitSuccess;
done:
    vorel_disconnect(h);
    free(spec);
    return result;
}

int Dismount(int argc, char **argv)
{
    char letter;
    if (argc < 2) {
        fprintf(stderr, "usage: vorelctl dismount <letter>\n");
        return kExitUsage;
    }
    if (!ParseLetter(argv[1], &letter))
        return kExitUsage;
    vorel_handle h;
    if (!Connect(&h))
        return kExitUnavailable;
    int result = kExitSuccess;
    vorel_status status = vorel_volume_dismount(h, letter);
    if (status != VOREL_OK)
        result = RequestFailed(h, "dismount volume", status,
                               status == VOREL_ERR_BUSY ? "volume is in use (open handles / mapped files)" : nullptr);
    else
        printf("Dismounted volume %c:\n", letter);
    vorel_disconnect(h);
    return result;
}

int Resize(int argc, char **argv)
{
    char letter;
    unsigned long long size;
    if (argc < 3) {
        fprintf(stderr, "usage: vorelctl resize <letter> <size>\n"
                        "       size = number with K/M/G/T suffix (e.g. 64M, 2G)\n");
        return kExitUsage;
    }
    if (!ParseLetter(argv[1], &letter) || !ParseSize(argv[2], &size))
        return kExitUsage;
    vorel_handle h;
    if (!Connect(&h))
        return kExitUnavailable;
    vorel_status status = vorel_volume_resize(h, letter, size);
    if (status != VOREL_OK) {
        int result = RequestFailed(h, "resize volume", status,
                                   status == VOREL_ERR_DISK_FULL
                                       ? "content does not fit the new size - free space and retry"
                                       : nullptr);
        vorel_disconnect(h);
        return result;
    }
    char sizeText[32];
    FormatSize(size, sizeText, sizeof(sizeText));
    printf("Resized volume %c: to %s\n", letter, sizeText);
    FollowInBootConfiguration(h, letter, size);
    vorel_disconnect(h);
    return kExitSuccess;
}

int Save(int argc, char **argv)
{
    char letter;
    if (argc < 2) {
        fprintf(stderr, "usage: vorelctl save <letter> [newpath]\n");
        return kExitUsage;
    }
    if (!ParseLetter(argv[1], &letter))
        return kExitUsage;
    char *path = nullptr;
    if (argc >= 3) {
        path = static_cast<char *>(calloc(1, 2048));
        if (path == nullptr) {
            fprintf(stderr, "vorelctl: out of memory\n");
            return kExitUnavailable;
        }
        if (!ConvertArgument(argv[2], 512, path, 2048, "image path")) {
            free(path);
            return kExitUsage;
        }
    }
    vorel_handle h;
    if (!Connect(&h)) {
        free(path);
        return kExitUnavailable;
    }
    printf("Saving volume %c:%s%s ...\n", letter, path != nullptr ? " to " : "", path != nullptr ? argv[2] : "");
    fflush(stdout);
    int result = kExitSuccess;
    vorel_status status = vorel_volume_save(h, letter, path);
    if (status != VOREL_OK) {
        const char *hint = status == VOREL_ERR_BUSY       ? "a save is already in progress"
                           : status == VOREL_ERR_NO_IMAGE ? "volume has no bound image \xE2\x80\x94 pass a path"
                                                          : nullptr;
        result = RequestFailed(h, "save volume", status, hint);
    } else {
        printf("Saved volume %c:\n", letter);
    }
    vorel_disconnect(h);
    free(path);
    return result;
}

} // namespace ctl
