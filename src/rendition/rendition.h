#pragma once

// State of one rendition worker and the stages that work on it.

#include <cstdint>
#include <string>

#include "rendition/av_handles.h"

namespace corvane {

// The output clocks: pictures in thirtieths of a second, audio in samples.
constexpr AVRational kVideoTimeBase{1, 30};
constexpr int kAudioRate = 44100;
constexpr AVRational kAudioTimeBase{1, kAudioRate};

// Outcome of one stage: a negative code is a failure, `action` says what was
// being done ("writing the HLS header"), for the worker's error line.
struct Status {
    int code = 0;
    const char* action = "";
    bool failed() const { return code < 0; }
};

inline Status status_of(int code, const char* action) { return Status{code < 0 ? code : 0, action}; }

// What a frame source delivers: the scaler and the audio graph are rebuilt
// when a picture or a sample frame no longer matches what they were made for.
struct PictureFormat {
    int width = 0;
    int height = 0;
    int pix_fmt = AV_PIX_FMT_NONE;
    int color_range = AVCOL_RANGE_UNSPECIFIED;
    AVRational sample_aspect{0, 1};  // shape of a pixel; 0/1: square
};

// Where in the (unturned) scaled picture the source is drawn; the rest is
// black bars.
struct PictureArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct Rendition {
    Rendition(std::string input, std::string playlist, int w, int h, int rate, std::string key)
        : input_path(std::move(input)), playlist_path(std::move(playlist)), width(w), height(h),
          video_bit_rate(rate), key_info_path(std::move(key)) {}

    const std::string input_path;
    const std::string playlist_path;
    const int width;
    const int height;
    const int video_bit_rate;
    const std::string key_info_path;

    // Owned, in order of acquisition; members are destroyed in reverse.
    FormatContextPtr input;
    CodecContextPtr video_decoder;
    CodecContextPtr audio_decoder;
    CodecContextPtr video_encoder;
    CodecContextPtr audio_encoder;
    FormatContextPtr output;
    std::string segment_base;
    std::string segment_pattern;
    ScalerPtr scaler;
    FilterGraphPtr audio_graph;
    FilterGraphPtr deinterlacer;  // made for the first interlaced picture
    AudioFifoPtr fifo;
    PacketPtr read_packet;
    PacketPtr out_packet;
    FramePtr decoded;
    FramePtr scaled;
    FramePtr unturned;     // the scaled picture before it is turned upright
    FramePtr filtered;     // one pull from the audio graph
    FramePtr audio_frame;  // one encoder-sized cut of the sample FIFO
    FramePtr progressive;  // one pull from the deinterlacer

    // Borrowed from the objects above.
    int video_index = -1;
    int audio_index = -1;
    AVStream* in_video = nullptr;
    AVStream* in_audio = nullptr;
    const AVCodec* video_codec = nullptr;
    const AVCodec* audio_codec = nullptr;
    const AVCodec* h264 = nullptr;
    const AVCodec* aac = nullptr;
    AVStream* out_video = nullptr;
    AVStream* out_audio = nullptr;
    AVFilterContext* audio_source = nullptr;
    AVFilterContext* audio_sink = nullptr;
    AVFilterContext* deinterlacer_source = nullptr;
    AVFilterContext* deinterlacer_sink = nullptr;

    // Clockwise turn (0, 90, 180, 270) that shows the source upright.
    int upright_turn = 0;

    // What the scaler, the deinterlacer and the audio graph were built for.
    PictureFormat scaler_input;
    PictureArea scaled_area;
    PictureFormat deinterlacer_input;
    AVRational deinterlacer_time_base{1, 1};
    int graph_sample_rate = 0;
    int graph_sample_fmt = AV_SAMPLE_FMT_NONE;
    ChannelLayout graph_layout;

    // Source clock: recordings whose clock jumps (joined MPEG-TS files, a
    // restarted clock) are put back on one continuous clock, for video and
    // audio alike. In AV_TIME_BASE units: the shift added to every source time
    // stamp, the end of the latest packet so far, and each stream's last dts.
    int64_t clock_shift = 0;
    int64_t clock_end = AV_NOPTS_VALUE;
    int64_t last_dts[2] = {AV_NOPTS_VALUE, AV_NOPTS_VALUE};
    // How far the source was read, by its own unshifted clock.
    int64_t source_read_to = AV_NOPTS_VALUE;

    // Video clock: the last and the first stamp sent to the encoder, in 1/30 s,
    // and the shift applied after a backwards jump of the source's time stamps.
    int64_t last_video_pts = AV_NOPTS_VALUE;
    int64_t first_video_pts = AV_NOPTS_VALUE;
    int64_t video_pts_shift = 0;
    // Audio clock: pts of the next AAC frame in 1/44100 s, and of the first.
    // It starts at the first decoded audio frame's time, so audio and video
    // share one clock.
    int64_t audio_samples = 0;
    int64_t audio_first_sample = 0;
    bool audio_clock_started = false;
    // Where the next decoded audio frame should start, in its own sample rate,
    // to find gaps in the source audio.
    int64_t audio_expected_next = AV_NOPTS_VALUE;
};

// Set-up, in pipeline order.
Status open_input(Rendition& r);
Status open_decoders(Rendition& r);
Status open_encoders(Rendition& r);
Status open_output(Rendition& r);
Status build_scaler(Rendition& r, const PictureFormat& format);
Status build_audio_graph(Rendition& r, int sample_rate, int sample_fmt, const AVChannelLayout& layout);
Status allocate_buffers(Rendition& r);

// After the trailer: every segment the playlist names was really written.
Status check_written_segments(const Rendition& r);

// Sends one frame (null: end of stream) to an encoder and writes every packet
// it gives to the muxer.
Status encode_and_write(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream,
                     const AVFrame* frame, AVPacket* packet);

// Video path.
Status configure_video_encoder(Rendition& r);
Status build_deinterlacer(Rendition& r, const AVFrame* picture);
Status take_picture(Rendition& r, AVFrame* picture);
Status finish_video(Rendition& r);

// Audio path.
Status configure_audio_encoder(Rendition& r);
Status filter_audio_frame(Rendition& r, AVFrame* frame);
Status finish_audio(Rendition& r);

}  // namespace corvane
