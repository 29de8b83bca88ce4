/*
 * Symbolic-link targets between Linux and Windows.
 */
#include "link_targets.h"

#include "names.h"

#include <cerrno>

namespace fusebridge {

int LinkTargetOfLinux(const char *text, const std::string &mountRoot, LinkTarget *target)
{
    std::string linuxTarget(text);
    if (linuxTarget.empty())
        return ENOENT;
    std::u16string converted;
    std::string rest = linuxTarget;
    std::u16string drive;
    target->relative = linuxTarget[0] != '/';
    if (!target->relative) {
        std::string prefix = mountRoot + "/";
        if (linuxTarget.compare(0, prefix.size(), prefix) == 0 && linuxTarget.size() > prefix.size() &&
            linuxTarget[prefix.size()] >= 'A' && linuxTarget[prefix.size()] <= 'Z' &&
            (linuxTarget.size() == prefix.size() + 1 || linuxTarget[prefix.size() + 1] == '/')) {
            drive = std::u16string(1, (char16_t)linuxTarget[prefix.size()]) + u":";
            rest = linuxTarget.substr(prefix.size() + 1);
        } else {
            drive = u"C:";
        }
    }
    size_t start = 0;
    bool first = true;
    while (start <= rest.size()) {
        size_t slash = rest.find('/', start);
        std::string component = rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!first || !target->relative)
            converted.push_back(u'\\');
        first = false;
        if (component == "." || component == "..") {
            converted += component == "." ? u"." : u"..";
        } else if (!component.empty()) {
            std::u16string name;
            int error = NameFromUtf8(component.c_str(), &name);
            if (error != 0)
                return error;
            converted += name;
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    // Separators doubled by empty components ("a//b", a leading "/") collapse.
    std::u16string collapsed;
    for (char16_t c : converted) {
        if (c == u'\\' && !collapsed.empty() && collapsed.back() == u'\\')
            continue;
        collapsed.push_back(c);
    }
    if (target->relative) {
        target->substitute = collapsed;
        target->print = collapsed;
    } else {
        target->print = drive;
        target->print.append(collapsed.empty() ? u"\\" : collapsed);
        target->substitute.assign(u"\\??\\");
        target->substitute.append(target->print);
    }
    return 0;
}

std::string LinuxOfLinkTarget(const LinkTarget &target, const std::string &mountRoot)
{
    std::u16string path = target.substitute;
    std::string prefix;
    if (!target.relative) {
        // "\??\X:\rest" (or the print name's "X:\rest"): C: is the Linux root; other
        // letters lead into their volumes' mounts.
        std::u16string drivePath = path;
        if (drivePath.compare(0, 4, u"\\??\\") == 0)
            drivePath = drivePath.substr(4);
        else
            drivePath = target.print;
        if (drivePath.size() >= 2 && drivePath[1] == u':') {
            char16_t letter = drivePath[0] & ~0x20;
            if (letter != u'C') {
                prefix = mountRoot;
                prefix.push_back('/');
                prefix.push_back((char)letter);
            }
            path = drivePath.substr(2);
            // The root of C: is "/"; the root of another volume is its mount point itself.
            if (!prefix.empty() && path == u"\\")
                path.clear();
            else if (prefix.empty() && path.empty())
                path.assign(1, u'\\');
        }
    }
    std::string linuxTarget = Utf8FromName(path.data(), path.size());
    for (char &c : linuxTarget) {
        if (c == '\\')
            c = '/';
    }
    return prefix + linuxTarget;
}

} // namespace fusebridge
