#include "subtitles/subtitle_tracks.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace corvane {

namespace {

// The most text kept of all tracks: a film's subtitles are well under a
// megabyte; a file that holds more is not read for more.
constexpr size_t kMostKept = 64u << 20;
// And the most cues (a film has a few thousand per track).
constexpr size_t kMostCues = 200000;
// A cue's text as WebVTT, at most.
constexpr int kCueBytes = 64 * 1024;
// A cue without an end of its own lasts until the next one, 5 s at most.
constexpr int64_t kOpenCueMs = 5000;

std::string tag_of(const AVStream* stream, const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(stream->metadata, key, nullptr, 0);
    return entry && entry->value ? entry->value : "";
}

std::string not_carried(const AVStream* stream, const char* why) {
    return "The source's subtitle track " + std::to_string(stream->index) + " (" +
           avcodec_get_name(stream->codecpar->codec_id) + ") " + why + ": it is not carried.";
}

// The decoder of a text track, and a WebVTT encoder that takes its styled
// text (the decoder's ASS header describes the styles).
bool open_codecs(const AVStream* stream, SubtitleTrack& track) {
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_WEBVTT);
    if (!decoder || !encoder) return false;
    track.decoder.reset(avcodec_alloc_context3(decoder));
    if (!track.decoder || avcodec_parameters_to_context(track.decoder.get(), stream->codecpar) < 0) return false;
    track.decoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(track.decoder.get(), decoder, nullptr) < 0) return false;
    track.encoder.reset(avcodec_alloc_context3(encoder));
    if (!track.encoder) return false;
    track.encoder->time_base = AVRational{1, 1000};
    const AVCodecContext* d = track.decoder.get();
    if (d->subtitle_header && d->subtitle_header_size > 0) {
        track.encoder->subtitle_header = static_cast<uint8_t*>(av_mallocz(d->subtitle_header_size + 1));
        if (!track.encoder->subtitle_header) return false;
        std::memcpy(track.encoder->subtitle_header, d->subtitle_header, d->subtitle_header_size);
        track.encoder->subtitle_header_size = d->subtitle_header_size;
    }
    return avcodec_open2(track.encoder.get(), encoder, nullptr) >= 0;
}

struct SubtitleOwner {
    AVSubtitle* subtitle;
    ~SubtitleOwner() { avsubtitle_free(subtitle); }
};

}  // namespace

void SubtitleTracks::open(AVFormatContext* input, std::vector<std::string>& warnings) {
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = input->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
        const AVCodecDescriptor* codec = avcodec_descriptor_get(stream->codecpar->codec_id);
        if (!codec || !(codec->props & AV_CODEC_PROP_TEXT_SUB)) {
            warnings.push_back(not_carried(stream, "holds pictures, not text"));
            continue;
        }
        SubtitleTrack track;
        track.stream_index = static_cast<int>(i);
        if (!open_codecs(stream, track)) {
            warnings.push_back(not_carried(stream, "cannot be decoded"));
            continue;
        }
        track.info.title = tag_of(stream, "title");
        track.info.language = tag_of(stream, "language");
        track.info.is_default = (stream->disposition & AV_DISPOSITION_DEFAULT) != 0;
        track.info.forced = (stream->disposition & AV_DISPOSITION_FORCED) != 0;
        stream->discard = AVDISCARD_DEFAULT;
        tracks_.push_back(std::move(track));
    }
}

bool SubtitleTracks::carries(int stream_index) const {
    for (const auto& track : tracks_) {
        if (track.stream_index == stream_index) return true;
    }
    return false;
}

void SubtitleTracks::take(const AVPacket* packet, int64_t clock_shift) {
    for (auto& track : tracks_) {
        if (track.stream_index != packet->stream_index) continue;
        if (kept_bytes_ > kMostKept || kept_cues_ >= kMostCues || packet->pts == AV_NOPTS_VALUE) {
            ++track.left_out;
            return;
        }
        AVSubtitle subtitle{};
        int got = 0;
        const int ret = avcodec_decode_subtitle2(track.decoder.get(), &subtitle, &got, const_cast<AVPacket*>(packet));
        SubtitleOwner owner{&subtitle};
        if (ret < 0) {
            ++track.left_out;
        } else if (got) {
            take_decoded(track, subtitle, clock_shift);
        }
        return;
    }
}

void SubtitleTracks::take_decoded(SubtitleTrack& track, AVSubtitle& subtitle, int64_t clock_shift) {
    if (subtitle.num_rects == 0 || subtitle.pts == AV_NOPTS_VALUE) return;
    std::string text(kCueBytes, '\0');
    const int size = avcodec_encode_subtitle(track.encoder.get(), reinterpret_cast<uint8_t*>(text.data()),
                                             kCueBytes, &subtitle);
    if (size < 0) {
        ++track.left_out;
        return;
    }
    text.resize(static_cast<size_t>(size));
    text = webvtt_cue_text(utf8_text(text));
    if (text.empty()) return;
    const int64_t at = (subtitle.pts + clock_shift) / 1000;
    Cue cue;
    cue.start = at + subtitle.start_display_time;
    // No end, or one the decoder could not tell: the cue is closed at the end.
    const bool ends = subtitle.end_display_time > subtitle.start_display_time &&
                      subtitle.end_display_time != UINT32_MAX;
    cue.end = ends ? at + subtitle.end_display_time : cue.start;
    cue.text = std::move(text);
    kept_bytes_ += cue.text.size() + sizeof(Cue);
    ++kept_cues_;
    track.cues.push_back(std::move(cue));
}

void SubtitleTracks::finish() {
    for (auto& track : tracks_) {
        std::stable_sort(track.cues.begin(), track.cues.end(),
                         [](const Cue& a, const Cue& b) { return a.start < b.start; });
        close_open_cues(track.cues, kOpenCueMs);
    }
}

namespace {

void put_number(std::string& out, int64_t n) { out.append(reinterpret_cast<const char*>(&n), sizeof n); }
void put_text(std::string& out, const std::string& text) {
    put_number(out, static_cast<int64_t>(text.size()));
    out += text;
}

struct Reader {
    const std::string& bytes;
    size_t at = 0;
    bool number(int64_t& n) {
        if (bytes.size() - at < sizeof n) return false;
        std::memcpy(&n, bytes.data() + at, sizeof n);
        at += sizeof n;
        return true;
    }
    bool text(std::string& t) {
        int64_t size = 0;
        if (!number(size) || size < 0 || static_cast<uint64_t>(size) > bytes.size() - at) return false;
        t.assign(bytes, at, static_cast<size_t>(size));
        at += static_cast<size_t>(size);
        return true;
    }
};

}  // namespace

bool SubtitleTracks::save(const std::string& path) const {
    std::string out;
    put_number(out, static_cast<int64_t>(tracks_.size()));
    for (const auto& track : tracks_) {
        put_number(out, track.stream_index);
        put_text(out, track.info.title);
        put_text(out, track.info.language);
        put_number(out, (track.info.is_default ? 1 : 0) | (track.info.forced ? 2 : 0));
        put_number(out, track.left_out);
        put_number(out, static_cast<int64_t>(track.cues.size()));
        for (const auto& cue : track.cues) {
            put_number(out, cue.start);
            put_number(out, cue.end);
            put_text(out, cue.text);
        }
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    file.close();
    return !file.fail();
}

bool SubtitleTracks::load(const std::string& path) {
    tracks_.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file) return true;
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Reader in{bytes};
    int64_t count = 0;
    if (!in.number(count)) return false;
    for (int64_t i = 0; i < count; ++i) {
        SubtitleTrack track;
        int64_t index = 0, flags = 0, left_out = 0, cues = 0;
        if (!in.number(index) || !in.text(track.info.title) || !in.text(track.info.language) ||
            !in.number(flags) || !in.number(left_out) || !in.number(cues)) {
            return false;
        }
        track.stream_index = static_cast<int>(index);
        track.info.is_default = (flags & 1) != 0;
        track.info.forced = (flags & 2) != 0;
        track.left_out = static_cast<int>(left_out);
        for (int64_t k = 0; k < cues; ++k) {
            Cue cue;
            if (!in.number(cue.start) || !in.number(cue.end) || !in.text(cue.text)) return false;
            track.cues.push_back(std::move(cue));
        }
        tracks_.push_back(std::move(track));
    }
    return true;
}

std::vector<std::string> SubtitleTracks::losses() const {
    std::vector<std::string> lines;
    for (const auto& track : tracks_) {
        if (track.left_out == 0) continue;
        lines.push_back("The source's subtitle track " + std::to_string(track.stream_index) + ": " +
                        std::to_string(track.left_out) + " cue(s) could not be read and are left out.");
    }
    return lines;
}

}  // namespace corvane
