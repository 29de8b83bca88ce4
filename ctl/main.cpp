/*
 * The command frame: the subcommand table, its listing, and the dispatch of one
 * subcommand per run.
 */
#include "vorelctl.h"

#include <string.h>

namespace {

struct Subcommand {
    const char *name;
    ctl::Handler handler;
    const char *help;
    unsigned int hidden; /* non-zero: not in the listing */
};

const Subcommand kSubcommands[] = {
    {"create", ctl::Create,
     "Create a volume.   usage: create <letter> <size> [label] [nosec] [norecycle] [compress=fast|normal|max]", 0},
    {"dismount", ctl::Dismount, "Dismount a volume. usage: dismount <letter>", 0},
    {"resize", ctl::Resize, "Resize a mounted volume live. usage: resize <letter> <size>", 0},
    {"settings", ctl::Settings, "Show/set driver settings. usage: settings [allowuser on|off]", 0},
    {"save", ctl::Save, "Save volume to its image file. usage: save <letter> [newpath] (newpath = full save + rebind)",
     0},
    {"auto", ctl::Auto,
     "Configured boot volumes. usage: auto add <letter> <size> [opts] | auto del <letter> | auto list", 0},
    {"install", ctl::Install,
     "Register + start the vorel driver service (auto-start). usage: install [path\\vorel.sys]", 1},
    {"uninstall", ctl::Uninstall,
     "Remove the vorel driver service (completes at reboot if the driver is loaded).", 1},
    {"list", ctl::List, "List mounted volumes with live runtime state (size/used/compression).", 0},
    {"iostats", ctl::IoStats, "Show driver-global cumulative I/O counters (bytes + ops, per direction).", 0},
    {"lifetime", ctl::Lifetime, "Show persistent lifetime I/O totals (survive reload/reboot) + peak speeds.", 0},
    {"help", ctl::Help, "Show this help.", 0},
};

void PrintListing()
{
    fprintf(stderr, "usage: vorelctl <subcommand> [args]\n\n");
    fprintf(stderr, "subcommands:\n");
    for (const Subcommand &row : kSubcommands)
        if (row.hidden == 0)
            fprintf(stderr, "  %-10s %s\n", row.name, row.help);
}

} // namespace

namespace ctl {

int Help(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    PrintListing();
    return kExitSuccess;
}

} // namespace ctl

int main(int argc, char **argv)
{
    if (argc < 2) {
        PrintListing();
        return ctl::kExitUsage;
    }
    for (const Subcommand &row : kSubcommands)
        if (_stricmp(argv[1], row.name) == 0)
            return row.handler(argc - 1, argv + 1);
    fprintf(stderr, "vorelctl: unknown subcommand '%s'\n", argv[1]);
    PrintListing();
    return ctl::kExitUsage;
}
