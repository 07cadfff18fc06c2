#pragma once

// State of one rendition worker and the stages that work on it: scaling,
// H.264 encoding and HLS output of the pictures and AAC packets that the
// source stage hands it.

#include <cstdint>
#include <string>

#include "av/av_handles.h"
#include "av/picture_area.h"
#include "chunk/packet_file.h"
#include "log/ffmpeg_log.h"
#include "queue/media_queue.h"
#include "rendition/iframes.h"
#include "rendition/transcode.h"

namespace corvane {

// What a picture looks like to the scaler, which is rebuilt when a picture
// no longer matches what it was made for.
struct PictureFormat {
    int width = 0;
    int height = 0;
    int pix_fmt = AV_PIX_FMT_NONE;
    int color_range = AVCOL_RANGE_UNSPECIFIED;
    int matrix = AVCOL_SPC_BT709;  // the colour matrix the pixels are in
    AVRational sample_aspect{0, 1};  // shape of a pixel; 0/1: square
};

// The scaler of a rendition's pictures, and what it was made for.
struct Scaling {
    ScalerPtr scaler;
    FramePtr scaled;  // the scaler's output
    FramePtr passed;  // a picture handed on unscaled
    // Whether the scaler is made, and whether pictures of its format are
    // handed to the encoder as they are (same size and pixel format).
    bool ready = false;
    bool pass_through = false;
    PictureFormat input;
    PictureArea area;  // where the picture is drawn; the rest is black bars
};

struct Rendition {
    Rendition(MediaQueue* source_feed, const AVCodecParameters* audio, std::string playlist, int w,
              int h, int rate, std::string key)
        : playlist_path(std::move(playlist)), width(w), height(h), video_bit_rate(rate),
          key_info_path(std::move(key)), feed(source_feed), audio_parameters(audio) {}

    // First: the FFmpeg objects below point here (`opaque`), and their
    // messages are the job's for as long as they live.
    const JobObject of_job{this, sizeof(Rendition)};
    const std::string playlist_path;
    const int width;
    const int height;
    const int video_bit_rate;
    const std::string key_info_path;

    // Borrowed from the job: the feed (none when the packets come from a
    // chunked job's files) and the AAC stream's parameters.
    MediaQueue* feed;
    const AVCodecParameters* audio_parameters;
    // How the source ended, as its read end and end marks told.
    SourceOutcome outcome;
    // The first file the muxer could not write whole (a full disk).
    Status write_failure;

    // Owned, in order of acquisition; members are destroyed in reverse.
    CodecContextPtr video_encoder;
    FormatContextPtr output;
    // For a chunk of a chunked job, instead of the HLS output: the file that
    // keeps the H.264 packets.
    PacketWriter video_file;
    IFrameWriter iframes;
    std::string segment_base;
    MediaItem item;          // one item from the feed
    PacketPtr out_packet;    // one packet from the H.264 encoder
    Scaling scaling;

    // Borrowed from the objects above.
    AVStream* out_video = nullptr;
    AVStream* out_audio = nullptr;
};

// Set-up, in pipeline order.
Status open_video_encoder(Rendition& r);
Status open_output(Rendition& r);
Status allocate_buffers(Rendition& r);

// The codec string of the H.264 stream, "avc1." and the profile,
// constraint flags and level of the encoder's own sequence header in hex;
// empty when the encoder gave none.
std::string video_codec_string(const Rendition& r);

// After the trailer: every segment the playlist names was really written,
// and the playlist's durations cover the media; `rates` are measured from
// the segments' sizes.
Status check_written_segments(const Rendition& r, WrittenRates& rates);

// After the last packet: the trailer, the segments checked, the rates
// measured and the codec string, in `result`.
Status finish_output(Rendition& r, RenditionResult& result);

// How a rendition that ran ends, `s` saying how its work ended: the SUCCESS
// line, or the ERROR line of its failure (none when the job was stopped).
// Returns `result` when it was created.
RenditionResult conclude_rendition(const Rendition& r, Status s, const RenditionResult& result);

// Sends one picture (null: end of stream) to the H.264 encoder and writes
// every packet it gives to the muxer.
Status encode_and_write(Rendition& r, const AVFrame* picture);

// Writes one H.264 packet (stamped in 1/30 s) to the HLS output.
Status write_video(Rendition& r, AVPacket* packet);

// Video path: scales one picture (stamped in 1/30 s) and encodes it.
Status encode_picture(Rendition& r, AVFrame* picture);
// Audio path: writes one AAC packet (stamped in 1/44100 s).
Status write_audio(Rendition& r, AVPacket* packet);

}  // namespace corvane
