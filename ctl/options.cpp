/*
 * The option words of create and auto add, and the conversion of text arguments.
 */
#include "vorelctl.h"

#include <string.h>

namespace ctl {

namespace {

/* The text after a prefix such as "image=", compared case-insensitively; null if absent. */
const char *After(const char *word, const char *prefix)
{
    size_t n = strlen(prefix);
    return _strnicmp(word, prefix, n) == 0 ? word + n : nullptr;
}

bool ParseLevel(const char *name, unsigned int *level)
{
    static const char *const kNames[] = {"none", "fast", "normal", "max"};
    for (unsigned int i = 0; i < 4; ++i) {
        if (_stricmp(name, kNames[i]) == 0) {
            *level = i;
            return true;
        }
    }
    fprintf(stderr, "vorelctl: compression level must be none/fast/normal/max\n");
    return false;
}

bool ParsePeriod(const char *text, unsigned long *period)
{
    unsigned long value = 0;
    bool valid = *text != 0;
    for (const char *p = text; valid && *p != 0; ++p) {
        if (*p < '0' || *p > '9' || value > VOREL_MAX_SAVE_INTERVAL_SECONDS)
            valid = false;
        else
            value = value * 10 + (unsigned long)(*p - '0');
    }
    if (!valid || value < VOREL_MIN_SAVE_INTERVAL_SECONDS || value > VOREL_MAX_SAVE_INTERVAL_SECONDS) {
        fprintf(stderr, "vorelctl: period must be %u..%u seconds\n", VOREL_MIN_SAVE_INTERVAL_SECONDS,
                VOREL_MAX_SAVE_INTERVAL_SECONDS);
        return false;
    }
    *period = value;
    return true;
}

} // namespace

bool ParseVolumeOptions(int argc, char **argv, int first, bool periodAllowed, VolumeOptions *options)
{
    for (int i = first; i < argc; ++i) {
        char *word = argv[i];
        const char *value;
        if (_stricmp(word, "nosec") == 0) {
            options->nosec = true;
        } else if (_stricmp(word, "norecycle") == 0) {
            options->norecycle = true;
        } else if (_stricmp(word, "manual") == 0) {
            options->manual = true;
        } else if (_stricmp(word, "autosave") == 0 || _stricmp(word, "saveonshutdown") == 0) {
            options->autosave = true;
        } else if ((value = After(word, "compress=")) != nullptr) {
            if (!ParseLevel(value, &options->level))
                return false;
        } else if ((value = After(word, "image=")) != nullptr) {
            if (*value == 0) {
                fprintf(stderr, "vorelctl: image= needs a path\n");
                return false;
            }
            options->image = value;
        } else if ((value = After(word, "folders=")) != nullptr) {
            for (char *p = word + strlen("folders="); *p != 0; ++p)
                if (*p == ';')
                    *p = '\n';
            options->folders = value;
        } else if ((value = After(word, "period=")) != nullptr) {
            if (periodAllowed) {
                if (!ParsePeriod(value, &options->period))
                    return false;
                options->periodic = true;
                options->autosave = true;
            }
        } else {
            options->label = word;
        }
    }
    return true;
}

bool ConvertArgument(const char *text, int wideUnits, char *out, int size, const char *what)
{
    WCHAR *wide = static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, (SIZE_T)wideUnits * sizeof(WCHAR)));
    bool converted = wide != nullptr &&
                     MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide, wideUnits) > 0 &&
                     WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, nullptr, nullptr) > 0;
    if (wide != nullptr)
        HeapFree(GetProcessHeap(), 0, wide);
    if (!converted)
        fprintf(stderr, "vorelctl: %s too long or invalid\n", what);
    return converted;
}

} // namespace ctl
