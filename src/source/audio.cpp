// The audio path of the source: the order in which its roles are given
// their work.

#include "source/audio_path.h"

namespace corvane {

Status AudioPath::open(SourceInput& input) {
    RETURN_IF_FAILED(decoder_.open(input));
    RETURN_IF_FAILED(output_.open());
    RETURN_IF_FAILED(loudness_.open());
    // The chain is made from what the decoder knows after opening; it is
    // made again later if the decoded frames turn out to differ.
    const AVCodecContext* dec = decoder_.context();
    if (dec && dec->sample_rate > 0 && dec->sample_fmt != AV_SAMPLE_FMT_NONE) {
        RETURN_IF_FAILED(loudness_.build(decoder_.time_base(), dec->sample_rate, dec->sample_fmt, dec->ch_layout));
    }
    return Status{};
}

// A source whose sample rate, format or channel layout changes mid-stream
// (broadcast recordings switching programmes) gets a new chain; what the old
// one still holds is encoded first.
Status AudioPath::rebuild_chain(const AVFrame* frame, Feeds& feeds) {
    const int old_rate = loudness_.built_rate();
    RETURN_IF_FAILED(loudness_.drain(output_, feeds));
    RETURN_IF_FAILED(loudness_.build(decoder_.time_base(), frame->sample_rate, frame->format, frame->ch_layout));
    timeline_.change_rate(old_rate, frame->sample_rate);
    return Status{};
}

// One decoded frame: the AAC clock starts at the first, silence leads in
// sound that starts late and fills holes before it, and it goes through the
// loudness chain.
Status AudioPath::take_frame(AVFrame* frame, int64_t video_reach, int64_t video_start, Feeds& feeds) {
    const FrameTiming timing = decoder_.timing_of(frame);
    int64_t lead_in = 0;
    if (!output_.started()) {
        const ClockStart start = AudioTimeline::start_clock(timing, video_start);
        output_.start_clock(start.first_sample);
        lead_in = start.lead_in;
    }
    if (!loudness_.matches(frame)) RETURN_IF_FAILED(rebuild_chain(frame, feeds));
    if (lead_in > 0) RETURN_IF_FAILED(loudness_.add_silence(frame, lead_in, output_, feeds));
    const int64_t hole = timeline_.keep_on_clock(timing, video_reach);
    if (hole > 0) RETURN_IF_FAILED(loudness_.add_silence(frame, hole, output_, feeds));
    return loudness_.filter(frame, output_, feeds);
}

Status AudioPath::decode(const AVPacket* packet, int64_t video_reach, int64_t video_start, Feeds& feeds) {
    return decoder_.decode(packet, [&](AVFrame* frame) { return take_frame(frame, video_reach, video_start, feeds); });
}

Status AudioPath::add_silence(int64_t video_start, int64_t video_end, Feeds& feeds) {
    // The silence starts with the first picture.
    if (!output_.started()) output_.start_clock(AudioTimeline::silence_start(video_start));
    return output_.pad_with_silence(video_end, feeds);
}

Status AudioPath::finish(int64_t video_end, Feeds& feeds) {
    RETURN_IF_FAILED(loudness_.drain(output_, feeds));
    return output_.finish(video_end, feeds);
}

void AudioPath::drop() {
    decoder_.close();
    loudness_.release();
}

void AudioPath::close() {
    loudness_.release();
    output_.close();
    decoder_.close();
}

}  // namespace corvane
