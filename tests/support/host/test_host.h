/*
 * Test support for user mode: an in-process host. The machine boots with a small
 * test driver loaded as the service "vorel" (a control device \Device\Vorel with
 * the link \DosDevices\Vorel and the descriptor
 * "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)"), and the socket server runs in a
 * fresh runtime directory named by VOREL_RUNTIME_DIR, so the Win32 layer and
 * vorelctl reach it as they would reach vorelhost.
 *
 * This header uses no Windows header, so tests written against the Win32 API can
 * use it. The driver serves the codes below; a test can script the reply to any
 * control code, and read what the driver was sent.
 */
#pragma once

#include "machine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace transport {
class Server;
struct ServerOptions;
}

namespace testhost {

/* Control codes the test driver serves (device type 0x9000, METHOD_BUFFERED, any access). */
constexpr uint32_t TestCode(uint32_t function)
{
    return (0x9000u << 16) | (function << 2);
}
constexpr uint32_t kEcho = TestCode(0x800);               /* the output is the input */
constexpr uint32_t kPendUntilCancelled = TestCode(0x801); /* pends with a cancel routine */
constexpr uint32_t kWaitForRelease = TestCode(0x802);     /* blocks until Release(), then echoes */
constexpr uint32_t kIdentity = TestCode(0x803);           /* u32 1 for an administrator's token, u32 process id */
/* Vorel's ping, get settings and set settings are answered as the driver does; every
 * other code fails with STATUS_INVALID_DEVICE_REQUEST unless a reply is scripted. */

/* A scripted completion: the status, the bytes placed at the start of the system
 * buffer, and the byte count reported. */
struct Reply {
    int32_t status = 0;
    std::vector<uint8_t> data;
    size_t information = 0;
};
void ScriptReply(uint32_t code, const Reply &reply);

struct SeenRequest {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
};
/* The device controls the driver received, in order. */
std::vector<SeenRequest> SeenRequests();

struct Counts {
    int creates = 0, cleanups = 0, closes = 0, controls = 0, cancelled = 0, pending = 0;
};
Counts Count();
/* A drive \DosDevices\<letter>: held by the test driver's device (a letter in use that no
 * file system answers for); the driver's unload removes any left. */
void MakeDriveLink(char letter);
void RemoveDriveLink(char letter);
/*
 * File requests. Every name under the device (a drive link made with MakeDriveLink
 * leads there: "T:\\any") opens the same file, held by the driver: a query of all
 * information reports its size with serial 0x5EA1F11E,
 * index 0x123487654321, three links and the archive and sparse attributes; the size
 * classes report 1000 units of 4 KiB (caller 300, free 400); sets are recorded (the end
 * of file applied) and file-system controls recorded and refused.
 */
struct FileRequest {
    uint8_t major = 0;
    uint32_t informationClass = 0;   /* query, volume query and set */
    uint32_t code = 0;               /* file-system control */
    std::vector<uint8_t> input;      /* set record, control input */
};
void SetFileData(const std::vector<uint8_t> &data);
std::vector<uint8_t> FileData();
std::vector<FileRequest> FileRequests();
/* Whether the volume answers the full-size class (else only the plain size class). */
void OfferFullSizeClass(bool offered);
/* The driver's user-access switch (get and set settings). */
uint32_t AllowUserAccess();
/* Lets every kWaitForRelease request that waits (and later ones) finish. */
void Release();

/* A fixture: machine (booted with BootConfig), test driver (unless LoadsDriver is false) and server. */
class TestHost : public testing::Test {
protected:
    TestHost();
    ~TestHost() override;
    void SetUp() override;
    void TearDown() override;
    virtual bool LoadsDriver() { return true; }
    virtual machine::Config BootConfig() { return machine::Config(); }
    /* The server's options, as the fixture set them (the socket path): a test changes its limits here. */
    virtual void ConfigureServer(transport::ServerOptions &options) { (void)options; }

    std::string runtimeDirectory_;
    std::string socketPath_;
    std::unique_ptr<transport::Server> server_;
};

/* A fresh directory (mode 0755) under the temporary directory; removed with RemoveTree. */
std::string MakeTemporaryDirectory(const char *prefix);
void RemoveTree(const std::string &path);

} // namespace testhost
