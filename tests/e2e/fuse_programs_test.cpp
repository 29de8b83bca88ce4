/*
 * Linux programs on a mounted volume: coreutils, tar, git, sqlite, a compiler and
 * Python's file calls work in the FUSE mount as they do on a local file system,
 * access is decided by the volume's descriptors, names follow the volume's rules,
 * and the mount comes and goes with the volume and the host.
 */
#include "fuse_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using e2e::FuseEndToEnd;
using testhost::Outcome;

TEST_F(FuseEndToEnd, CoreutilsCopyATreeInAndBackAndManageIt)
{
    StartWithVolume();
    ExpectScript(R"SH(
src=$WORK/src
mkdir -p "$src/a/b/c" "$src/d" "$src/empty-dir"
printf 'hello\n' > "$src/a/small.txt"
head -c 4097 /dev/urandom > "$src/a/b/page.bin"
head -c $((3 * 1024 * 1024 + 123)) /dev/urandom > "$src/a/b/c/big.bin"
: > "$src/d/empty"
ln -s ../a/small.txt "$src/d/link"
ln "$src/a/small.txt" "$src/d/hard"
chmod 0750 "$src/a/b"
touch -d '2001-02-03 04:05:06.789' "$src/a/b/c/big.bin"

avail_before=$(df -B1 --output=avail "$M" | tail -1)
cp -a "$src" "$M/tree"
diff -r "$src" "$M/tree"
diff -r --no-dereference "$src" "$M/tree"
avail_after=$(df -B1 --output=avail "$M" | tail -1)
(( avail_before - avail_after >= 3 * 1024 * 1024 )) || { echo "df: free space $avail_before -> $avail_after"; exit 1; }
size=$(df -B1 --output=size "$M" | tail -1)
(( size > 32 * 1024 * 1024 && size <= 64 * 1024 * 1024 )) || { echo "df: size $size"; exit 1; }

t=$M/tree
same "$(readlink "$t/d/link")" ../a/small.txt readlink
same "$(stat -c '%F %s' "$t/d/link")" "symbolic link 14" "symlink type and size (its target's length)"
same "$(stat -c '%h %s' "$t/a/small.txt")" "2 6" "nlink size"
same "$(stat -c %i "$t/d/hard")" "$(stat -c %i "$t/a/small.txt")" "hard link inode"
same "$(stat -c '%a %F' "$t/a/b")" "750 directory" "dir mode"
same "$(stat -c '%s %Y' "$t/a/b/c/big.bin")" "$(stat -c '%s %Y' "$src/a/b/c/big.bin")" "size mtime"
same "$(stat -c %y "$t/a/b/c/big.bin")" "$(stat -c %y "$src/a/b/c/big.bin")" "mtime to the 100 ns"
same "$(stat -c '%u %g' "$t/a/small.txt")" "0 0" owner

mv "$t/a/b" "$t/moved"
test ! -e "$t/a/b"
cmp "$src/a/b/c/big.bin" "$t/moved/c/big.bin"
mv "$t/moved/page.bin" "$t/d/page.bin"
cmp "$src/a/b/page.bin" "$t/d/page.bin"
ln "$t/d/page.bin" "$t/page.hard"
same "$(stat -c %h "$t/d/page.bin")" 2 "nlink after ln"
ln -s d/page.bin "$t/page.sym"
cmp "$src/a/b/page.bin" "$t/page.sym"
rm "$t/d/page.bin"
same "$(stat -c %h "$t/page.hard")" 1 "nlink after rm"
fails 'No such file' cat "$t/page.sym"
fails 'Directory not empty' rmdir "$t/moved"
rm -r "$t"
same "$(ls -A "$M")" "" "mount after rm -r"
# All comes back but the empty slab each small-file class keeps (four classes, 2 MiB each).
avail_end=$(df -B1 --output=avail "$M" | tail -1)
(( avail_end >= avail_before - 4 * 2 * 1024 * 1024 )) || { echo "df: space not given back: $avail_before -> $avail_end"; exit 1; }
)SH");
}

TEST_F(FuseEndToEnd, TarRoundTripKeepsEveryByte)
{
    StartWithVolume();
    ExpectScript(R"SH(
src=$WORK/src
mkdir -p "$src/x/y/z" "$src/w"
for i in $(seq 1 40); do head -c $((i * i * 97)) /dev/urandom > "$src/x/f$i"; done
head -c $((2 * 1024 * 1024 + 7)) /dev/urandom > "$src/x/y/z/large"
seq 1 20000 > "$src/w/numbers"
truncate -s 6M "$src/w/sparse"
printf 'middle' | dd of="$src/w/sparse" bs=1 seek=$((4 * 1024 * 1024)) conv=notrunc status=none
(cd "$src" && find . -type f -print0 | sort -z | xargs -0 sha256sum) > "$WORK/sums"

tar -C "$src" -cf "$M/a.tar" .
mkdir "$M/out"
tar -C "$M/out" -xf "$M/a.tar"
(cd "$M/out" && sha256sum -c --quiet "$WORK/sums")
# Back out again, compressed and reading holes through SEEK_DATA.
tar -C "$M/out" --sparse -cJf "$M/b.tar.xz" .
mkdir "$WORK/back"
tar -C "$WORK/back" -xJf "$M/b.tar.xz"
(cd "$WORK/back" && sha256sum -c --quiet "$WORK/sums")
tar -tJf "$M/b.tar.xz" | sort > "$WORK/listed"
(cd "$src" && find . -mindepth 1 | sort) > "$WORK/expected"
sed 's|/$||' "$WORK/listed" | grep -vx '\.' | sort | diff - "$WORK/expected"
)SH");
}

TEST_F(FuseEndToEnd, GitCommitsAndReadsHistory)
{
    StartWithVolume();
    ExpectScript(R"SH(
g() { git -c user.name=Tester -c user.email=tester@example.com "$@"; }
git init -q repo
cd repo
same "$(git config core.ignorecase)" true "core.ignorecase probed by git init"
printf 'one\n' > a.txt
mkdir sub
seq 1 5000 > sub/numbers
ln -s a.txt link
g add -A
g commit -q -m first
printf 'two\n' >> a.txt
git mv sub/numbers sub/renamed
g commit -q -am second
same "$(git log --format=%s | tr '\n' ' ')" "second first " log
same "$(git status --porcelain)" "" status
same "$(git show HEAD~1:a.txt)" one show
same "$(git ls-files -s link | cut -c1-6)" 120000 "symlink mode"
g gc -q
git fsck --strict --no-progress
git checkout -q HEAD~1
same "$(cat a.txt)" one checkout
test -f sub/numbers
test ! -e sub/renamed
)SH");
}

TEST_F(FuseEndToEnd, SqliteTransactionsAndQueries)
{
    StartWithVolume();
    ExpectScript(R"SH(
{
  echo 'PRAGMA journal_mode=DELETE;'
  echo 'CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT, n INTEGER);'
  echo 'BEGIN;'
  for i in $(seq 1 1000); do echo "INSERT INTO t(v, n) VALUES('row$i', $((i % 7)));"; done
  echo 'COMMIT;'
} | sqlite3 db.sqlite > /dev/null
same "$(sqlite3 db.sqlite 'SELECT count(*), sum(id) FROM t')" "1000|500500" count
same "$(sqlite3 db.sqlite 'SELECT v FROM t WHERE id = 777')" row777 lookup
same "$(sqlite3 db.sqlite 'SELECT n, count(*) FROM t GROUP BY n HAVING n = 3')" "3|143" group
# A rolled-back transaction leaves nothing behind, and the journal is gone.
sqlite3 db.sqlite 'BEGIN; DELETE FROM t; ROLLBACK;'
same "$(sqlite3 db.sqlite 'SELECT count(*) FROM t')" 1000 rollback
test ! -e db.sqlite-journal
same "$(sqlite3 db.sqlite 'PRAGMA integrity_check')" ok integrity
# Write-ahead logging maps its index shared and locks ranges.
sqlite3 wal.sqlite 'PRAGMA journal_mode=WAL; CREATE TABLE k(x); INSERT INTO k VALUES (1), (2), (3);' > /dev/null
same "$(sqlite3 wal.sqlite 'SELECT sum(x) FROM k')" 6 wal
)SH");
}

TEST_F(FuseEndToEnd, ACProgramIsBuiltWithMakeAndRuns)
{
    StartWithVolume();
    ExpectScript(R"SH(
mkdir prog
cd prog
cat > Makefile <<'EOF'
.RECIPEPREFIX := >
CFLAGS := -O1 -Wall -Werror
check: check.o store.o
> $(CC) -o $@ $^
%.o: %.c store.h
> $(CC) $(CFLAGS) -c -o $@ $<
EOF
cat > store.h <<'EOF'
int store_roundtrip(const char *path, long offset);
EOF
cat > store.c <<'EOF'
#include "store.h"
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
int store_roundtrip(const char *path, long offset)
{
    char in[64] = {0};
    const char text[] = "written past a hole";
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL, 0640);
    if (fd < 0)
        return 1;
    if (pwrite(fd, text, sizeof text, offset) != (ssize_t)sizeof text)
        return 2;
    if (fsync(fd) != 0)
        return 3;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size != offset + (long)sizeof text || (st.st_mode & 0777) != 0640)
        return 4;
    if (pread(fd, in, 8, 0) != 8 || memcmp(in, "\0\0\0\0\0\0\0\0", 8) != 0)
        return 5;
    if (pread(fd, in, sizeof text, offset) != (ssize_t)sizeof text || strcmp(in, text) != 0)
        return 6;
    return close(fd) == 0 ? 0 : 7;
}
EOF
cat > check.c <<'EOF'
#include "store.h"
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv)
{
    int result = store_roundtrip(argv[1], atol(argv[2]));
    printf("%s %d\n", argc == 3 ? "roundtrip" : "usage", result);
    return result;
}
EOF
make -s
same "$(./check data.bin 1000000)" "roundtrip 0" "program output"
make -q
touch store.h
fails '' make -q
make -s
make -q
test -x check
)SH");
}

TEST_F(FuseEndToEnd, UserExtendedAttributesKeepTheirValues)
{
    StartWithVolume();
    ExpectScript(R"SH(
touch x
python3 - "$M/x" <<'EOF'
import errno, os, sys
p = sys.argv[1]
os.setxattr(p, 'user.foo', b'bar')
os.setxattr(p, 'user.Second', b'\x00\x01binary\xff')
assert sorted(n.lower() for n in os.listxattr(p)) == ['user.foo', 'user.second'], os.listxattr(p)
assert all(n.startswith('user.') for n in os.listxattr(p)), os.listxattr(p)
assert os.getxattr(p, 'user.foo') == b'bar'
assert os.getxattr(p, 'user.FOO') == b'bar'
assert os.getxattr(p, 'user.second') == b'\x00\x01binary\xff'
os.setxattr(p, 'user.foo', b'replaced')
assert os.getxattr(p, 'user.foo') == b'replaced'
def refused(want, call, *args):
    try:
        call(*args)
    except OSError as e:
        assert e.errno in want, (call.__name__, args, e)
    else:
        raise AssertionError('%s%r succeeded' % (call.__name__, args))
refused({errno.EEXIST}, os.setxattr, p, 'user.FOO', b'v', os.XATTR_CREATE)
refused({errno.ENODATA}, os.setxattr, p, 'user.absent', b'v', os.XATTR_REPLACE)
refused({errno.ENODATA}, os.getxattr, p, 'user.absent')
refused({errno.EOPNOTSUPP, errno.EPERM}, os.setxattr, p, 'trusted.x', b'v')
assert os.getxattr(p, 'user.foo') == b'replaced'
os.removexattr(p, 'user.foo')
refused({errno.ENODATA}, os.getxattr, p, 'user.foo')
refused({errno.ENODATA}, os.removexattr, p, 'user.foo')
assert [n.lower() for n in os.listxattr(p)] == ['user.second']
os.setxattr(p, 'user.big', b'z' * 4000)
assert os.getxattr(p, 'user.big') == b'z' * 4000
EOF
# The shell tools and a directory see the same.
setfattr -n user.tool -v value x
same "$(getfattr --only-values -n user.tool x)" value getfattr
mkdir d
setfattr -n user.dir -v 1 d
getfattr -d d | grep -qi '^user.dir="1"$'
)SH");
}

TEST_F(FuseEndToEnd, AllocationHolesAndSeeking)
{
    StartWithVolume();
    ExpectScript(R"SH(
python3 - "$M" <<'EOF'
import errno, os, subprocess, sys
MiB = 1024 * 1024
m = sys.argv[1]

# A plain reservation: size grows, the bytes read as zeros, and more than the volume is refused.
fd = os.open(m + '/reserved', os.O_RDWR | os.O_CREAT, 0o644)
os.posix_fallocate(fd, 0, 8 * MiB)
assert os.fstat(fd).st_size == 8 * MiB
assert os.pread(fd, MiB, 7 * MiB) == bytes(MiB)
try:
    os.posix_fallocate(fd, 0, 1024 * MiB)
    raise AssertionError('a 1 GiB reservation on a 64 MiB volume succeeded')
except OSError as e:
    assert e.errno == errno.ENOSPC, e
assert os.fstat(fd).st_size == 8 * MiB
os.close(fd)

# Punching a hole keeps the size and the bytes around it; a zeroed range likewise.
data = bytes(range(251)) * (4 * MiB // 251 + 1)
data = data[:4 * MiB]
with open(m + '/punched', 'wb') as f:
    f.write(data)
subprocess.run(['fallocate', '--punch-hole', '-o', str(MiB), '-l', str(MiB), m + '/punched'], check=True)
subprocess.run(['fallocate', '--zero-range', '-o', str(3 * MiB + 100), '-l', '4096', m + '/punched'], check=True)
with open(m + '/punched', 'rb') as f:
    back = f.read()
expected = bytearray(data)
expected[MiB:2 * MiB] = bytes(MiB)
expected[3 * MiB + 100:3 * MiB + 4196] = bytes(4096)
assert len(back) == 4 * MiB, len(back)
assert back == bytes(expected), 'punched or zeroed file differs'

# Data and holes: one written range in the middle of an 8 MiB file.
fd = os.open(m + '/holey', os.O_RDWR | os.O_CREAT, 0o644)
os.ftruncate(fd, 8 * MiB)
os.pwrite(fd, b'd' * 4096, 4 * MiB)
assert os.lseek(fd, 0, os.SEEK_DATA) == 4 * MiB, os.lseek(fd, 0, os.SEEK_DATA)
hole = os.lseek(fd, 4 * MiB, os.SEEK_HOLE)
assert 4 * MiB + 4096 <= hole <= 8 * MiB, hole
assert os.lseek(fd, 0, os.SEEK_HOLE) == 0
assert os.lseek(fd, 8 * MiB - 1, os.SEEK_HOLE) == 8 * MiB - 1
for offset in sorted({hole, 8 * MiB}):
    try:
        os.lseek(fd, offset, os.SEEK_DATA)
        raise AssertionError('SEEK_DATA at %d found data' % offset)
    except OSError as e:
        assert e.errno == errno.ENXIO, e
os.close(fd)
EOF
)SH");
}

TEST_F(FuseEndToEnd, MappedFilesAndCopyRanges)
{
    StartWithVolume();
    ExpectScript(R"SH(
python3 - "$M" <<'EOF'
import mmap, os, sys
m = sys.argv[1]
fd = os.open(m + '/mapped', os.O_RDWR | os.O_CREAT, 0o644)
os.ftruncate(fd, 256 * 1024)
with mmap.mmap(fd, 256 * 1024) as map:
    map[100:105] = b'hello'
    map[200 * 1024:200 * 1024 + 5] = b'world'
    map.flush()
    os.pwrite(fd, b'WRITE', 1000)
    assert map[1000:1005] == b'WRITE'
os.close(fd)
with open(m + '/mapped', 'rb') as f:
    content = f.read()
assert len(content) == 256 * 1024
assert content[100:105] == b'hello' and content[200 * 1024:200 * 1024 + 5] == b'world'
assert content[1000:1005] == b'WRITE'
assert content.count(0) == len(content) - 15

# copy_file_range between two files of the volume, at offsets.
source = os.urandom(3 * 1024 * 1024 + 11)
with open(m + '/source', 'wb') as f:
    f.write(source)
src = os.open(m + '/source', os.O_RDONLY)
dst = os.open(m + '/copy', os.O_RDWR | os.O_CREAT, 0o644)
done = 0
while done < len(source) - 5:
    n = os.copy_file_range(src, dst, len(source) - 5 - done, 5 + done, 100 + done)
    assert n > 0
    done += n
os.close(src)
assert os.fstat(dst).st_size == 100 + len(source) - 5
assert os.pread(dst, len(source) + 95, 0) == bytes(100) + source[5:]
os.close(dst)
EOF
)SH");
}

TEST_F(FuseEndToEnd, AccessFollowsModeAndOwner)
{
    StartWithVolume();
    ExpectScript(R"SH(
mkdir shared nobody
echo secret > shared/private
chmod 0600 shared/private
echo public > shared/public
chmod 0644 shared/public
chown 65534:65534 nobody
chmod 0777 nobody
same "$(stat -c '%a %u %g' shared/private)" "600 0 0" private
same "$(stat -c '%a %u %g' nobody)" "777 65534 65534" "nobody's directory"
)SH");
    ExpectScript(R"SH(
fails 'Permission denied' cat shared/private
same "$(cat shared/public)" public "readable file"
fails 'Permission denied' bash -c 'echo more >> shared/public'
fails 'Permission denied' touch shared/new
fails 'Permission denied' rm -f shared/public
fails 'Operation not permitted' chmod 0666 shared/public
echo mine > nobody/file
same "$(stat -c '%a %u %g' nobody/file)" "644 65534 65534" "a standard user's new file"
chmod 0600 nobody/file
mkdir nobody/sub
mv nobody/file nobody/sub/file
same "$(cat nobody/sub/file)" mine "own file"
fails 'Operation not permitted' chown 0 nobody/sub/file
)SH",
                 e2e::kNobody);
    // Root reads the user's private file, as on any Linux file system.
    ExpectScript(R"SH(
same "$(stat -c '%a %u' nobody/sub/file)" "600 65534" "mode kept"
same "$(cat nobody/sub/file)" mine "root reads a private file"
)SH");
}

TEST_F(FuseEndToEnd, AnUnlinkedOpenFileKeepsWorking)
{
    StartWithVolume();
    ExpectScript(R"SH(
python3 - "$M" <<'EOF'
import os, sys
m = sys.argv[1]
p = m + '/doomed'
fd = os.open(p, os.O_RDWR | os.O_CREAT, 0o644)
os.write(fd, b'before')
os.unlink(p)
assert not os.path.exists(p) and 'doomed' not in os.listdir(m)
os.write(fd, b'after')
assert os.pread(fd, 100, 0) == b'beforeafter'
st = os.fstat(fd)
assert st.st_nlink == 0 and st.st_size == 11, st
# The name is free for a new file while the old one lives on.
new = os.open(p, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
os.write(new, b'new')
os.ftruncate(fd, 3)
assert os.pread(fd, 100, 0) == b'bef'
os.close(fd)
os.close(new)
assert open(p, 'rb').read() == b'new'

# Renaming over an open file leaves the open one with its old content.
with open(m + '/replacement', 'wb') as f:
    f.write(b'replacement')
old = os.open(p, os.O_RDONLY)
os.rename(m + '/replacement', p)
assert os.pread(old, 100, 0) == b'new'
os.close(old)
assert open(p, 'rb').read() == b'replacement'
assert sorted(os.listdir(m)) == ['doomed']
EOF
)SH");
}

TEST_F(FuseEndToEnd, NamesFollowTheVolumeRules)
{
    StartWithVolume();
    ExpectScript(R"SH(
for c in ':' '\' '*' '?' '"' '<' '>' '|'; do
  fails 'Invalid argument' touch "a${c}b"
done
fails 'Invalid argument' mkdir 'dir:x'
# A name the volume cannot hold is simply absent to a lookup, as on vfat: programs probe
# such names (git takes "rev:path" for a file name first) and only stop on other errors.
fails 'No such file' stat 'a:b'
fails 'No such file' stat 'HEAD~1:a.txt'
same "$(ls -A)" "" "nothing made by refused names"
fails 'File name too long' touch "$(printf 'n%.0s' $(seq 256))"
touch "$(printf 'n%.0s' $(seq 255))"
# The limit counts UTF-16 units, not bytes: 255 two-byte characters fit, 128 astral ones do not.
touch "$(printf '\u00e9%.0s' $(seq 255))"
fails 'File name too long' touch "$(printf '\U0001F600%.0s' $(seq 128))"
touch "$(printf '\U0001F600%.0s' $(seq 127))"
same "$(ls | wc -l)" 3 "names made"

echo hi > Foo
stat foo > /dev/null
same "$(cat FOO)" hi "case-insensitive open"
same "$(ls | grep -i '^foo$')" Foo "case preserved"
fails 'File exists' mkdir fOO
python3 - <<'EOF'
import os
try:
    os.open('FOO', os.O_CREAT | os.O_EXCL | os.O_WRONLY)
    raise AssertionError('O_EXCL create of another case succeeded')
except FileExistsError:
    pass
os.mkdir('Dir')
os.rename('foo', 'DIR/Inside')
assert os.listdir('dir') == ['Inside'], os.listdir('dir')
assert not any(n.lower() == 'foo' for n in os.listdir('.')), os.listdir('.')
assert open('dir/INSIDE').read() == 'hi\n'
EOF
)SH");
}

TEST_F(FuseEndToEnd, SystemCallsKeepTheirPosixMeaning)
{
    StartWithVolume();
    ExpectScript(R"SH(
python3 - <<'EOF'
import ctypes, errno, os, stat
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_NOREPLACE, RENAME_EXCHANGE = -100, 1, 2
def renameat2(old, new, flags):
    if libc.renameat2(AT_FDCWD, old.encode(), AT_FDCWD, new.encode(), flags) != 0:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e), old)
def refused(want, call, *args):
    try:
        call(*args)
    except OSError as e:
        assert e.errno == want, (call.__name__, args, e)
    else:
        raise AssertionError('%s%r succeeded' % (call.__name__, args))
def write(name, data):
    with open(name, 'wb') as f:
        f.write(data)
def read(name):
    with open(name, 'rb') as f:
        return f.read()

write('a', b'A')
write('b', b'B')
refused(errno.EEXIST, renameat2, 'a', 'b', RENAME_NOREPLACE)
refused(errno.EINVAL, renameat2, 'a', 'b', RENAME_EXCHANGE)
assert read('a') == b'A' and read('b') == b'B'
renameat2('a', 'c', RENAME_NOREPLACE)
assert read('c') == b'A' and not os.path.exists('a')

# Renames of directories: over an empty one, not over a full one, never into themselves.
os.makedirs('d1/inner')
os.mkdir('empty')
write('d1/inner/f', b'F')
os.mkdir('full')
write('full/x', b'x')
refused(errno.ENOTEMPTY, os.rename, 'd1', 'full')
refused(errno.EINVAL, os.rename, 'd1', 'd1/inner/moved')
refused(errno.EISDIR, os.rename, 'c', 'empty')
refused(errno.ENOTDIR, os.rename, 'empty', 'c')
os.rename('d1', 'empty')
assert read('empty/inner/f') == b'F' and not os.path.exists('d1')
refused(errno.ENOTEMPTY, os.rmdir, 'full')
refused(errno.EISDIR, os.unlink, 'full')
refused(errno.ENOTDIR, os.rmdir, 'c')
refused(errno.EPERM, os.link, 'full', 'full-link')
refused(errno.EEXIST, os.link, 'c', 'b')
refused(errno.ENOENT, os.rename, 'absent', 'b')

# Only regular files come from mknod; a refused one leaves no name behind.
os.mknod('regular', 0o644 | stat.S_IFREG)
assert stat.S_ISREG(os.stat('regular').st_mode)
for mode in (stat.S_IFIFO, stat.S_IFSOCK, stat.S_IFCHR):
    try:
        os.mknod('special', 0o644 | mode, os.makedev(1, 3) if mode == stat.S_IFCHR else 0)
        raise AssertionError('mknod of type %o succeeded' % mode)
    except OSError:
        pass
    assert not os.path.lexists('special')

# O_APPEND writes at the end wherever the offset is; O_TRUNC empties; O_EXCL refuses.
fd = os.open('log', os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
os.write(fd, b'one ')
os.lseek(fd, 0, os.SEEK_SET)
os.write(fd, b'two')
os.close(fd)
assert read('log') == b'one two'
refused(errno.EEXIST, os.open, 'log', os.O_WRONLY | os.O_CREAT | os.O_EXCL)
os.close(os.open('log', os.O_WRONLY | os.O_TRUNC))
assert os.stat('log').st_size == 0

# Times to the 100 ns, sizes both ways, modes.
os.utime('c', ns=(1_000_000_123_456_700, 1_100_000_987_654_300))
st = os.stat('c')
assert (st.st_atime_ns, st.st_mtime_ns) == (1_000_000_123_456_700, 1_100_000_987_654_300), st
os.truncate('c', 5000)
assert read('c') == b'A' + bytes(4999)
os.truncate('c', 1)
assert read('c') == b'A'
os.chmod('c', 0o751)
assert stat.S_IMODE(os.stat('c').st_mode) == 0o751
os.symlink('no/such/target', 'dangling')
assert os.readlink('dangling') == 'no/such/target'
assert os.lstat('dangling').st_size == len('no/such/target'), os.lstat('dangling')
refused(errno.ENOENT, os.stat, 'dangling')
EOF
)SH");
}

TEST_F(FuseEndToEnd, ADirectoryOfThousandsListsEveryNameOnce)
{
    StartWithVolume();
    ExpectScript(R"SH(
mkdir big
cd big
# Names long enough that a listing takes many buffers, of mixed case and length.
pad=$(printf 'xY%.0s' $(seq 1 60))
for i in $(seq 1 3000); do
  name="Entry-$i-${pad:0:$((i % 97))}"
  : > "$name"
  echo "$name" >> "$WORK/made"
done
ls -f | grep '^Entry-' | sort > "$WORK/listed"
sort "$WORK/made" | diff - "$WORK/listed"
same "$(find . -type f | wc -l)" 3000 "find"
same "$(ls -la | grep -c ' Entry-')" 3000 "ls -l"
# rm deletes while it lists: nothing may be skipped.
cd ..
rm -r big
test ! -e big
)SH");
}

TEST_F(FuseEndToEnd, FourWritersShareOneTree)
{
    StartWithVolume("256M");
    ExpectScript(R"SH(
cat > "$WORK/writer.py" <<'EOF'
import json, os, random, sys
m, me, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rnd = random.Random(1000 + me)
own = '%s/c/p%d' % (m, me)
shared = m + '/c/shared'
os.makedirs(own + '/sub', exist_ok=True)
model = {}   # path relative to c/ -> content
for step in range(300):
    op = rnd.random()
    names = sorted(model)
    if op < 0.35 or not names:
        where = rnd.choice(['p%d' % me, 'p%d/sub' % me])
        name = '%s/f%d_%d' % (where, me, step)
        content = rnd.randbytes(rnd.choice([0, 10, 3000, 70000]))
        with open(m + '/c/' + name, 'xb') as f:
            f.write(content)
        model[name] = content
    elif op < 0.55:
        name = rnd.choice(names)
        extra = bytes([step % 256]) * rnd.randint(1, 5000)
        with open(m + '/c/' + name, 'ab') as f:
            f.write(extra)
        model[name] += extra
    elif op < 0.75:
        name = rnd.choice(names)
        base = name.rsplit('/', 1)[1].split('.')[0]
        target = rnd.choice(['shared', 'p%d' % me, 'p%d/sub' % me]) + '/%s.r%d' % (base, step)
        os.rename(m + '/c/' + name, m + '/c/' + target)
        model[target] = model.pop(name)
    elif op < 0.9:
        name = rnd.choice(names)
        os.unlink(m + '/c/' + name)
        del model[name]
    else:
        name = rnd.choice(names)
        with open(m + '/c/' + name, 'r+b') as f:
            f.truncate(len(model[name]) // 2)
        model[name] = model[name][:len(model[name]) // 2]
    if step % 50 == 0:
        os.listdir(shared)
with open(out, 'w') as f:
    json.dump({k: v.hex() for k, v in model.items()}, f)
EOF
mkdir -p c/shared
pids=()
for i in 0 1 2 3; do
  python3 "$WORK/writer.py" "$M" $i "$WORK/model$i.json" & pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
python3 - "$M" "$WORK" <<'EOF'
import json, os, sys
m, work = sys.argv[1], sys.argv[2]
expected = {}
for i in range(4):
    expected.update({k: bytes.fromhex(v) for k, v in json.load(open('%s/model%d.json' % (work, i))).items()})
found = {}
for root, dirs, files in os.walk(m + '/c'):
    for name in files:
        path = os.path.join(root, name)
        found[os.path.relpath(path, m + '/c')] = open(path, 'rb').read()
missing = sorted(set(expected) - set(found))
extra = sorted(set(found) - set(expected))
differ = sorted(k for k in set(expected) & set(found) if expected[k] != found[k])
assert not missing and not extra and not differ, (missing[:5], extra[:5], differ[:5])
assert len(expected) > 50, len(expected)
print(len(expected), 'files checked')
EOF
)SH");
}

TEST_F(FuseEndToEnd, AKilledHostLeavesNoStaleMountBehind)
{
    StartWithVolume();
    ExpectScript("echo held > held\n");
    testhost::Started holder = StartShell("exec 3<\"$M/held\"; echo ready; exec sleep 600");
    ASSERT_TRUE(WaitForOutput(holder, "ready", 10));
    StopHost(SIGKILL);

    // The dead connection answers at once: nothing waits for a daemon that is gone.
    testhost::RunOptions bounded;
    bounded.timeoutSeconds = 10;
    Outcome dead = testhost::Run("/bin/cat", {MountPoint('R') + "/held"}, bounded);
    EXPECT_EQ(1, dead.exitCode);
    EXPECT_NE(std::string::npos, dead.err.find("Transport endpoint is not connected")) << dead.err;

    // The next host clears what the killed one left before it mounts anything.
    StartHost();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WaitFor([&] { return MountType(MountPoint('R')).empty(); }, 5))
        << testhost::ReadFile("/proc/self/mountinfo");
    CreateMounted('R');
    ASSERT_FALSE(HasFatalFailure());
    ExpectScript(R"SH(
same "$(ls -A)" "" "a new volume is empty"
echo again > again
same "$(cat again)" again "the mount works again"
)SH");
    // The old holder still ends when asked.
    Outcome held = testhost::Stop(holder, SIGTERM, 10);
    EXPECT_EQ(SIGTERM, held.signal) << held.err;
    std::erase(holders_, holder.pid);
}

TEST_F(FuseEndToEnd, DismountWaitsForLinuxHoldersAndLettersMountQuickly)
{
    StartWithVolume();
    ExpectScript("echo held > held\n");
    testhost::Started holder = StartShell("exec 3<\"$M/held\"; echo ready; exec sleep 600");
    ASSERT_TRUE(WaitForOutput(holder, "ready", 10));

    Outcome busy = Vorelctl({"dismount", "R"});
    EXPECT_EQ(3, busy.exitCode);
    EXPECT_NE(std::string::npos, busy.err.find("dismount volume failed: busy (volume is in use")) << busy.err;
    EXPECT_TRUE(FuseMounted(MountPoint('R')));
    ExpectScript("same \"$(cat held)\" held \"still served after the refusal\"\n");

    StopShell(holder);
    Outcome dismounted = Vorelctl({"dismount", "R"});
    EXPECT_EQ(0, dismounted.exitCode) << dismounted.err;
    EXPECT_EQ("Dismounted volume R:\n", dismounted.out);
    EXPECT_TRUE(WaitFor([&] { return MountType(MountPoint('R')).empty(); }, 2))
        << testhost::ReadFile("/proc/self/mountinfo");

    Outcome created = Vorelctl({"create", "S", "2G"});
    ASSERT_EQ(0, created.exitCode) << created.err;
    EXPECT_TRUE(WaitFor([&] { return FuseMounted(MountPoint('S')); }, 1))
        << testhost::ReadFile("/proc/self/mountinfo");
    Outcome df = Script("df -B1 --output=size \"$M\" | tail -1 | tr -d ' '", -1, 'S', 20);
    EXPECT_EQ(0, df.exitCode) << df.err;
    EXPECT_GT(std::stoll("0" + df.out), 1LL << 30) << df.out;

    // The host's orderly stop takes its mounts with it.
    Outcome stopped = StopHost(SIGTERM);
    EXPECT_EQ(0, stopped.exitCode) << stopped.err;
    EXPECT_EQ("", MountType(MountPoint('S'))) << testhost::ReadFile("/proc/self/mountinfo");
}

} // namespace
