/*
 * vorelctl: the administrator's console. One subcommand per run; results go to
 * standard output, usage texts, errors and hints to standard error.
 *
 * Exit codes: 0 success; 1 a usage or argument error (nothing was sent); 2 the
 * driver connection, the service control manager or memory could not be had;
 * 3 the operation was refused or failed.
 */
#pragma once

#include <vorellib.h>

#include <windows.h>

#include <stdio.h>

namespace ctl {

enum ExitCode { kExitSuccess = 0, kExitUsage = 1, kExitUnavailable = 2, kExitFailed = 3 };

#define VOREL_MIN_SAVE_INTERVAL_SECONDS 5u
#define VOREL_MAX_SAVE_INTERVAL_SECONDS 86400u

/* A subcommand's handler gets its arguments with the subcommand's name as argv[0]. */
typedef int (*Handler)(int argc, char **argv);

/* Subcommands. */
int Create(int argc, char **argv);
int Dismount(int argc, char **argv);
int Resize(int argc, char **argv);
int Settings(int argc, char **argv);
int Save(int argc, char **argv);
int Auto(int argc, char **argv);
int Install(int argc, char **argv);
int Uninstall(int argc, char **argv);
int List(int argc, char **argv);
int IoStats(int argc, char **argv);
int Lifetime(int argc, char **argv);
int Help(int argc, char **argv);

/* ---- Shared steps (common.cpp) ---------------------------------------------------- */

/* Connects; on failure prints why (with the hint to start the service when the driver
 * is not running and the system's error line) and returns false: exit kExitUnavailable. */
bool Connect(vorel_handle *h);
/* Prints a failed request: "vorelctl: <operation> failed: <status>[ (<hint>)]" and the
 * system's error line of the connection's last error; returns kExitFailed. hint may be null. */
int RequestFailed(vorel_handle h, const char *operation, vorel_status status, const char *hint);
/* "          (Win32 error N: <system message>)", or without the message when the system has
 * none; nothing for 0. */
void PrintWin32Error(DWORD code);

/* A drive letter argument: exactly one character, folded to upper case, 'A'..'Z';
 * otherwise prints the drive-letter message and returns false. */
bool ParseLetter(const char *text, char *letter);
/* A size: decimal digits with at most one K, M, G or T suffix (either case), not 0;
 * otherwise prints the invalid-size message and returns false. */
bool ParseSize(const char *text, unsigned long long *bytes);
/* Bytes for display: "512 B", "64.0 MB", ... */
void FormatSize(unsigned long long bytes, char *text, size_t size);
/* A record's UTF-8 text as UTF-16 in buffer (units long), for printing with %ls: the
 * console turns it back into its own code page. Empty when it does not convert. */
const WCHAR *WideText(const char *text, WCHAR *buffer, int units);
/* Compression level names: none, fast, normal, max. */
const char *LevelName(unsigned int level);

/* The option words that follow a volume's letter and size (create, auto add). */
struct VolumeOptions {
    bool nosec = false;
    bool norecycle = false;
    bool manual = false;
    bool autosave = false;         /* autosave or saveonshutdown */
    bool periodic = false;
    unsigned long period = 0;
    unsigned int level = 0;
    const char *image = nullptr;   /* the path after image= */
    const char *folders = nullptr; /* after folders=, ';' turned into line feeds */
    const char *label = "Vorel";   /* the last word that is no option */
};
/* Reads argv[first..argc-1] as option words (case-insensitive); periodAllowed checks
 * period= (auto add). Prints the message and returns false on a bad word. */
bool ParseVolumeOptions(int argc, char **argv, int first, bool periodAllowed, VolumeOptions *options);
/* Text from the console's code page for the library: at most wideUnits UTF-16 units and
 * size UTF-8 bytes, both with the terminator; otherwise "vorelctl: <what> too long or invalid". */
bool ConvertArgument(const char *text, int wideUnits, char *out, int size, const char *what);

} // namespace ctl
