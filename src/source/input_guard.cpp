#include "source/input_guard.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <cctype>
#include <cstring>
#include <filesystem>
#include <vector>

namespace corvane {

namespace {

namespace fs = std::filesystem;

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ends_with(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Whether a locator starts with a scheme ("http:", "subfile:", ...).
bool has_scheme(const std::string& url) {
    const size_t colon = url.find(':');
    if (colon == std::string::npos || colon < 2) return false;
    for (size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// The canonical form of a local path (symbolic links resolved as far as the
// path exists), or "" when it has none.
fs::path canonical_path(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) return {};
    fs::path canonical = fs::weakly_canonical(absolute, error);
    return error ? fs::path{} : canonical;
}

// Sets how far the content of the caller's locator may reach.
void set_reach(InputGuard& guard, const std::string& locator) {
    guard.locator = locator;
    const std::string name = lower(locator);
    for (const char* scheme : {"http", "https"}) {
        if (starts_with(name, (std::string(scheme) + "://").c_str())) {
            guard.playlist = true;
            guard.scheme = scheme;
            return;
        }
    }
    if (ends_with(name, ".m3u8") || ends_with(name, ".m3u") || ends_with(name, ".mpd")) {
        guard.playlist = true;
        guard.folder = canonical_path(starts_with(name, "file:") ? locator.substr(5) : locator)
                           .parent_path()
                           .string();
    }
}

// Whether a playlist the caller chose may open `url`: the same scheme as the
// playlist, and for a local playlist a file inside its own folder.
bool within_reach(const InputGuard& guard, std::string url) {
    // Encrypted segments are opened through the crypto protocol.
    for (const char* wrapper : {"crypto+", "crypto:"}) {
        if (starts_with(url, wrapper)) url.erase(0, std::strlen(wrapper));
    }
    if (!guard.scheme.empty()) return starts_with(lower(url), (guard.scheme + "://").c_str());
    if (starts_with(url, "file:")) url.erase(0, 5);
    if (has_scheme(url) || guard.folder.empty()) return false;
    const fs::path path = canonical_path(url);
    const fs::path folder(guard.folder);
    if (path.empty()) return false;
    auto inside = path.begin();
    for (const auto& part : folder) {
        if (inside == path.end() || *inside != part) return false;
        ++inside;
    }
    return inside != path.end();
}

// Every open the input's content asks for comes here. The first is the
// input itself.
int guarded_open(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                 AVDictionary** options) {
    InputGuard& guard = *static_cast<InputGuard*>(context->opaque);
    if (!guard.input_opened) {
        guard.input_opened = true;
        const int ret = guard.default_open(context, pb, url, flags, options);
        // Some formats open further files through a format context of their
        // own, which does not come here but inherits the protocols allowed:
        // for a media file, none.
        if (ret >= 0 && !guard.playlist) av_opt_set(context, "protocol_whitelist", "none", 0);
        return ret;
    }
    if (guard.playlist && url && within_reach(guard, url)) {
        return guard.default_open(context, pb, url, flags, options);
    }
    guard.refused = true;
    return AVERROR(EPERM);
}

// Formats whose content names other files or URLs to read.
bool format_follows_names(const AVInputFormat* format) {
    if (!format) return false;
    for (const char* name : {"hls", "dash", "concat", "imf"}) {
        if (std::strcmp(format->name, name) == 0) return true;
    }
    return false;
}

// Whether a file's content follows other names: its format is found from
// its first bytes alone, before anything it names could be opened, and is
// the format it is then opened as (another guess at the open could take it
// for a playlist after all). An HLS playlist is recognised by its first line
// too, as FFmpeg releases that take only files named .m3u8 for playlists do
// not say so.
int follows_names(const std::string& locator, bool* follows, const AVInputFormat** format) {
    AVIOContext* pb = nullptr;
    int ret = avio_open2(&pb, locator.c_str(), AVIO_FLAG_READ, nullptr, nullptr);
    if (ret < 0) return ret;
    unsigned char start[16] = {0};
    const int got = avio_read(pb, start, sizeof start);
    *follows = got >= 7 && std::memcmp(start, "#EXTM3U", 7) == 0;
    if (!*follows && avio_seek(pb, 0, SEEK_SET) == 0 &&
        av_probe_input_buffer2(pb, format, locator.c_str(), nullptr, 0, 0) >= 0) {
        *follows = format_follows_names(*format);
    }
    avio_closep(&pb);
    return 0;
}

}  // namespace

std::string refusal_text(const InputGuard& guard) {
    if (guard.playlist) {
        return "The playlist refers to files outside its own folder or to URLs of another scheme; "
               "reading them is not allowed.";
    }
    return "The source refers to other files or URLs; reading them is not allowed: only the file "
           "named is read.";
}

int open_guarded_input(const std::string& locator, InputGuard& guard, FormatContextPtr& context,
                       std::string& oversize) {
    set_reach(guard, locator);
    const AVInputFormat* format = nullptr;
    if (guard.playlist && guard.scheme.empty()) {
        // A local playlist is read as the playlist its name says it is.
        format = av_find_input_format(ends_with(lower(locator), ".mpd") ? "dash" : "hls");
    } else if (!guard.playlist) {
        bool follows = false;
        const int ret = follows_names(locator, &follows, &format);
        if (ret < 0) return ret;
        if (follows) {
            guard.refused = true;
            return AVERROR(EPERM);
        }
    }
    AVFormatContext* opened = avformat_alloc_context();
    if (!opened) return AVERROR(ENOMEM);
    guard.default_open = opened->io_open;
    opened->opaque = &guard;
    opened->io_open = guarded_open;
    const int ret = avformat_open_input(&opened, locator.c_str(), format, nullptr);
    if (ret < 0) return ret;  // the context is freed
    context.reset(opened);
    for (unsigned i = 0; i < opened->nb_streams; ++i) {
        // A cover picture is decoded only when it is the file's one picture,
        // and checked once it is chosen.
        if (opened->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
        oversize = stream_oversize(opened->streams[i]->codecpar);
        if (!oversize.empty()) {
            context.reset();
            return AVERROR(ERANGE);
        }
    }
    return 0;
}

int find_stream_info_guarded(AVFormatContext* context) {
    std::vector<AVDictionary*> options(context->nb_streams, nullptr);
    for (AVDictionary*& o : options) av_dict_set_int(&o, "max_pixels", kMaxPicturePixels, 0);
    const int ret = avformat_find_stream_info(context, options.empty() ? nullptr : options.data());
    for (AVDictionary*& o : options) av_dict_free(&o);
    return ret;
}

std::string picture_oversize(int width, int height) {
    if (picture_fits(width, height)) return "";
    return "The source's pictures are " + std::to_string(width) + "x" + std::to_string(height) +
           ", larger than the 8192 pixels on a side and 36 megapixels accepted.";
}

std::string sound_oversize(int channels, int sample_rate) {
    if (sound_fits(channels, sample_rate)) return "";
    return "The source's audio has " + std::to_string(channels) + (channels == 1 ? " channel at " : " channels at ") +
           std::to_string(sample_rate) + " Hz, more than the 16 channels and 384000 Hz accepted.";
}

std::string stream_oversize(const AVCodecParameters* par) {
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) return picture_oversize(par->width, par->height);
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
        return sound_oversize(par->ch_layout.nb_channels, par->sample_rate);
    }
    return "";
}

}  // namespace corvane
