// Which playlists a job writes, and the claims that keep two jobs of one
// process from writing the same ones at once.

#include <string>
#include <vector>

#include "ladder/output_claim.h"
#include "unit.h"

namespace {

using corvane::OutputClaim;
using corvane::PlannedRendition;

struct PlaylistsRow {
    const char* id;
    const char* output;
    std::vector<const char*> names;
    int subtitles;
    std::vector<std::string> playlists;
};

UNIT_CASE("output_claim", a_job_writes_its_master_renditions_and_subtitles) {
    // A folder that does not exist: no link to follow.
    const std::string w = "/nonexistent-corvane/w";
    const std::vector<PlaylistsRow> rows = {
        {"in the folder", "master.m3u8", {"720p", "360p"}, 0,
         {w + "/master.m3u8", w + "/720p.m3u8", w + "/360p.m3u8"}},
        {"elsewhere", "../public/./master.m3u8", {"360p"}, 0,
         {"/nonexistent-corvane/public/master.m3u8", w + "/360p.m3u8"}},
        {"absolute", "/srv/m.m3u8", {"360p"}, 0, {"/srv/m.m3u8", w + "/360p.m3u8"}},
        {"named like a rendition", "360p.m3u8", {"360p"}, 0, {w + "/360p.m3u8"}},
        {"subtitle tracks", "m.m3u8", {}, 2, {w + "/m.m3u8", w + "/subtitles_0.m3u8", w + "/subtitles_1.m3u8"}},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        std::vector<PlannedRendition> renditions;
        for (const char* name : row.names) renditions.push_back(PlannedRendition{name, 640, 360, 400000});
        CHECK_EQ(corvane::written_playlists(w, row.output, renditions, row.subtitles), row.playlists);
    }
}

UNIT_CASE("output_claim", a_playlist_is_held_by_one_job_at_a_time) {
    int asked = 0;
    const auto give_up = [&asked] { return ++asked > 0; };
    {
        const OutputClaim first({"/w/master.m3u8", "/w/360p.m3u8"}, nullptr);
        CHECK(first.held());
        const OutputClaim other({"/w/other.m3u8", "/w/480p.m3u8"}, give_up);
        CHECK(other.held());
        CHECK_EQ(asked, 0);
        // It waits for the first, until it gives up.
        const OutputClaim same({"/w/b.m3u8", "/w/360p.m3u8"}, give_up);
        CHECK(!same.held());
        CHECK_EQ(asked, 1);
    }
    const OutputClaim after({"/w/b.m3u8", "/w/360p.m3u8"}, give_up);
    CHECK(after.held());
}

}  // namespace
