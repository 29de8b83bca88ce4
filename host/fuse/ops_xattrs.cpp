/*
 * Extended attributes: the user. namespace is the volume's extended attributes
 * ("user.name" is the attribute "name"; Windows keeps attribute names upper-cased, so
 * a listing shows "user.NAME"). Other namespaces have no Windows form.
 */
#include "session.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace fusebridge {

namespace {

constexpr char kUserPrefix[] = "user.";
constexpr size_t kUserPrefixLength = sizeof(kUserPrefix) - 1;

/* The attribute name of a Linux name, or an errno. */
int EaNameOf(const char *name, std::string *out)
{
    if (std::strncmp(name, kUserPrefix, kUserPrefixLength) != 0)
        return EOPNOTSUPP;
    *out = name + kUserPrefixLength;
    if (out->empty())
        return EINVAL;
    if (out->size() > 255)
        return ERANGE;
    return 0;
}

/*
 * The attribute name of a request that reads or removes one; false (answered) when the
 * name has none: a name of another namespace is simply not there.
 */
bool EaNameOrReply(fuse_req_t request, const char *name, std::string *out)
{
    int error = EaNameOf(name, out);
    if (error != 0)
        fuse_reply_err(request, error == EOPNOTSUPP ? ENODATA : error);
    return error == 0;
}

/* Answers a size probe (size 0), a buffer too small, or the bytes. */
void ReplyBytes(fuse_req_t request, const void *bytes, size_t length, size_t size)
{
    if (size == 0)
        fuse_reply_xattr(request, length);
    else if (size < length)
        fuse_reply_err(request, ERANGE);
    else
        fuse_reply_buf(request, static_cast<const char *>(bytes), length);
}

} // namespace

void OpSetxattr(fuse_req_t request, fuse_ino_t node, const char *name, const char *value, size_t size, int flags)
{
    std::string eaName;
    int error = EaNameOf(name, &eaName);
    if (error != 0)
        return (void)fuse_reply_err(request, error);
    Request r(request);
    if (!r.Ready())
        return;
    if (flags & (XATTR_CREATE | XATTR_REPLACE)) {
        std::vector<uint8_t> existing;
        Status status = r.calls.GetEa(node, eaName, &existing);
        bool exists = status >= 0;
        if ((flags & XATTR_CREATE) && exists)
            return (void)fuse_reply_err(request, EEXIST);
        if ((flags & XATTR_REPLACE) && !exists)
            return (void)fuse_reply_err(request, ENODATA);
    }
    // An empty value removes the attribute on Windows: there is no empty attribute to keep.
    Status status = r.calls.SetEa(node, eaName, value, size);
    if (status < 0)
        return ReplyStatus(request, status);
    fuse_reply_err(request, 0);
}

void OpGetxattr(fuse_req_t request, fuse_ino_t node, const char *name, size_t size)
{
    std::string eaName;
    if (!EaNameOrReply(request, name, &eaName))
        return;
    Request r(request);
    if (!r.Ready())
        return;
    std::vector<uint8_t> value;
    Status status = r.calls.GetEa(node, eaName, &value);
    if (status < 0)
        return ReplyStatus(request, status);
    ReplyBytes(request, value.data(), value.size(), size);
}

void OpListxattr(fuse_req_t request, fuse_ino_t node, size_t size)
{
    Request r(request);
    if (!r.Ready())
        return;
    std::vector<std::string> names;
    Status status = r.calls.ListEas(node, &names);
    if (status < 0)
        return ReplyStatus(request, status);
    std::string list;
    for (const std::string &eaName : names) {
        list += kUserPrefix;
        list += eaName;
        list.push_back('\0');
    }
    ReplyBytes(request, list.data(), list.size(), size);
}

void OpRemovexattr(fuse_req_t request, fuse_ino_t node, const char *name)
{
    std::string eaName;
    if (!EaNameOrReply(request, name, &eaName))
        return;
    Request r(request);
    if (!r.Ready())
        return;
    std::vector<uint8_t> existing;
    Status status = r.calls.GetEa(node, eaName, &existing);
    if (status >= 0)
        status = r.calls.SetEa(node, eaName, nullptr, 0);
    if (status < 0)
        return ReplyStatus(request, status);
    fuse_reply_err(request, 0);
}

} // namespace fusebridge
