/*
 * Cold-file compression end to end: volumes created by vorelctl with each level,
 * files written by Linux programs through their mounts, left alone until the
 * volume's worker packs them (on the host's real clock), then read back,
 * changed and compared by the same programs; the counters come from the
 * library's statistics call.
 */
#include "fuse_fixture.h"

#include <vorellib.h>

#include <cstdlib>

namespace {

using e2e::FuseEndToEnd;
using testhost::Outcome;

class FuseCompression : public FuseEndToEnd {};

/* The statistics of a volume, through the library as any client asks for them. */
vorel_comp_stats StatisticsOf(char letter)
{
    vorel_comp_stats stats{};
    vorel_handle handle = nullptr;
    unsigned int native = 0;
    EXPECT_EQ(VOREL_OK, vorel_connect(&handle, &native)) << native;
    if (handle == nullptr)
        return stats;
    EXPECT_EQ(VOREL_OK, vorel_comp_stats_query(handle, letter, &stats));
    vorel_disconnect(handle);
    return stats;
}

/*
 * One volume per level, all at once (the cold delay is a minute of real time):
 * sources and text go in through cp and dd, are packed once cold, and come back
 * byte for byte through cat, cmp and sha256sum; a write into a packed file and a
 * truncation are seen exactly; vorelctl list names each level.
 */
TEST_F(FuseCompression, EachLevelPacksColdFilesAndProgramsReadThemBack)
{
    setenv("VOREL_RUNTIME_DIR", options_.environment.at("VOREL_RUNTIME_DIR").c_str(), 1);
    StartHost();
    const struct {
        char letter;
        const char *level;
    } volumes[] = {{'F', "fast"}, {'N', "normal"}, {'X', "max"}};
    for (const auto &volume : volumes) {
        Outcome created = Vorelctl({"create", std::string(1, volume.letter), "96M", std::string("compress=") + volume.level});
        ASSERT_EQ(0, created.exitCode) << created.out << created.err;
        EXPECT_NE(std::string::npos, created.out.find(std::string(", compress=") + volume.level)) << created.out;
        ASSERT_TRUE(WaitFor([&] { return FuseMounted(MountPoint(volume.letter)); }, 10));
    }
    Outcome listed = Vorelctl({"list"});
    for (const auto &volume : volumes)
        EXPECT_NE(std::string::npos, listed.out.find(std::string("compress=") + volume.level)) << listed.out;

    // The originals stay outside the mounts, one copy per volume, for the comparisons.
    const std::string fill = R"SH(
set +o pipefail # head ends the producers early
mkdir -p "$REF"
find /usr/include -name '*.h' -print0 | sort -z | xargs -0 cat | head -c 7000000 > "$REF/sources"
seq 1 900000 | sed 's/$/ the volume keeps the cold extents of this line/' | head -c 5000000 > "$REF/text"
head -c 3000000 /dev/urandom > "$REF/noise"
cp "$REF/sources" "$REF/text" "$REF/noise" .
head -c 65536 /dev/zero > zeros
sync
)SH";
    auto withReference = [&](char letter, const std::string &script) {
        return "REF='" + base_ + "/reference-" + letter + "'\n" + script;
    };
    for (const auto &volume : volumes)
        ExpectScript(withReference(volume.letter, fill), -1, volume.letter);

    // The cold delay, the round wait and the packing itself.
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const auto &volume : volumes) {
                vorel_comp_stats stats = StatisticsOf(volume.letter);
                if (stats.extents_compressed < 5 || stats.extents_not_worth < 1 || stats.zero_extents_released < 1)
                    return false;
            }
            return true;
        },
        150))
        << "not every volume packed its cold files in time";

    for (const auto &volume : volumes) {
        vorel_comp_stats stats = StatisticsOf(volume.letter);
        EXPECT_GE(stats.compressed_files, 2u) << volume.level;
        EXPECT_GE(stats.extents_not_worth, 1u) << volume.level << ": the noise";
        EXPECT_EQ(stats.zero_extents_released, 1u) << volume.level;
        EXPECT_LT(stats.compressed_memory, stats.compressed_extent_bytes / 2) << volume.level;
        ExpectScript(withReference(volume.letter, R"SH(
for f in sources text noise; do cmp "$REF/$f" "$f"; done
same "$(sha256sum < text)" "$(sha256sum < "$REF/text")" "text digest"
same "$(head -c 65536 /dev/zero | cmp - zeros && echo same)" same "zeros"
# A write into a packed file and a truncation, mirrored outside.
printf 'CHANGED' | dd of=sources bs=1 seek=3000000 conv=notrunc status=none
printf 'CHANGED' | dd of="$REF/sources" bs=1 seek=3000000 conv=notrunc status=none
truncate -s 4500000 text
truncate -s 4500000 "$REF/text"
cmp "$REF/sources" sources
cmp "$REF/text" text
)SH"),
                     -1, volume.letter);
        EXPECT_GE(StatisticsOf(volume.letter).extents_decompressed, 1u) << volume.level;
    }
}

} // namespace
