#include "ladder/output_claim.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>

#include "log/log.h"

namespace corvane {

namespace {

// The playlists of the jobs of the process that hold a claim.
struct Claims {
    std::mutex lock;
    std::condition_variable released;
    std::set<std::string> held;
};

Claims& claims() {
    static Claims all;
    return all;
}

std::string where(const std::filesystem::path& folder, const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path path = (folder / fs::path(name)).lexically_normal();
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return (error ? path : resolved).string();
}

// The first of `playlists` that another job holds; null when none is.
const std::string* taken(const std::set<std::string>& held, const std::vector<std::string>& playlists) {
    for (const std::string& playlist : playlists) {
        if (held.count(playlist)) return &playlist;
    }
    return nullptr;
}

}  // namespace

std::string working_directory() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::current_path(error);
    return error ? "" : folder.string();
}

std::vector<std::string> written_playlists(const std::string& folder, const std::string& output,
                                           const std::vector<PlannedRendition>& renditions,
                                           int subtitle_tracks) {
    std::vector<std::string> names;
    for (const PlannedRendition& rendition : renditions) names.push_back(rendition.name + ".m3u8");
    for (int i = 0; i < subtitle_tracks; ++i) names.push_back("subtitles_" + std::to_string(i) + ".m3u8");
    // The master first: a job that waits names it.
    std::vector<std::string> playlists{where(folder, output)};
    for (const std::string& name : names) {
        const std::string playlist = where(folder, name);
        if (std::find(playlists.begin(), playlists.end(), playlist) == playlists.end()) playlists.push_back(playlist);
    }
    return playlists;
}

OutputClaim::OutputClaim(std::vector<std::string> playlists, const std::function<bool()>& interrupted)
    : playlists_(std::move(playlists)) {
    Claims& all = claims();
    std::unique_lock<std::mutex> lock(all.lock);
    bool said = false;
    while (const std::string* playlist = taken(all.held, playlists_)) {
        if (!said) {
            log_message(INFO, "Another call in this process is writing " + *playlist +
                                  ": this one starts when it has finished.");
            said = true;
        }
        all.released.wait_for(lock, std::chrono::milliseconds(100));
        // `interrupted` may wait for Python's lock: never while this is held.
        lock.unlock();
        const bool stop = interrupted && interrupted();
        lock.lock();
        if (stop) return;
    }
    all.held.insert(playlists_.begin(), playlists_.end());
    held_ = true;
}

OutputClaim::~OutputClaim() {
    if (!held_) return;
    Claims& all = claims();
    {
        std::lock_guard<std::mutex> lock(all.lock);
        for (const std::string& playlist : playlists_) all.held.erase(playlist);
    }
    all.released.notify_all();
}

}  // namespace corvane
