#pragma once

// The source stage, run once per job on its own thread: reads the input,
// decodes both streams, keeps one continuous source clock, deinterlaces and
// turns the pictures upright, stamps them on the 30-per-second output clock,
// and runs the whole audio path up to AAC packets. Every rendition's feed
// receives the same pictures and packets.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "av/av_handles.h"
#include "av/filter_chain.h"
#include "av/output.h"
#include "source/input_guard.h"
#include "source/media_queue.h"
#include "source/source_input.h"

namespace corvane {

// What the video chain (deinterlacer, tone mapping, turn) was built for.
struct VideoChainInput {
    int width = 0;
    int height = 0;
    int pix_fmt = AV_PIX_FMT_NONE;
    bool deinterlaces = false;
    int transfer = AVCOL_TRC_UNSPECIFIED;  // the HDR transfer it tone-maps, if any
    AVRational time_base{1, 1};
};

// What the loudness chain was built for.
struct AudioChainInput {
    int sample_rate = 0;
    int sample_fmt = AV_SAMPLE_FMT_NONE;
    ChannelLayout layout;
};

struct Source {
    // The file, its streams and its continuous clock; opened by the ladder,
    // which plans from it. Released last.
    SourceInput input;
    // Set by the calling thread when the job is interrupted: reading stops,
    // even in the middle of a slow read.
    std::atomic<bool> stop{false};

    // Owned, in order of acquisition; members are destroyed in reverse.
    CodecContextPtr video_decoder;
    CodecContextPtr audio_decoder;
    CodecContextPtr audio_encoder;
    FilterChain<VideoChainInput> video_chain;  // made for the first picture that needs it
    FilterChain<AudioChainInput> audio_chain;
    AudioFifoPtr fifo;
    PacketPtr read_packet;
    PacketPtr audio_packet;  // one packet from the AAC encoder
    FramePtr decoded;
    FramePtr filtered_picture;  // one pull from the video graph
    FramePtr filtered_samples;  // one pull from the audio graph
    FramePtr audio_frame;       // one encoder-sized cut of the sample FIFO
    FramePtr held_picture;      // the latest picture, until the next shows which is nearer its tick
    FramePtr last_picture;      // the last picture handed on, to repeat it
    FramePtr silence;           // silent samples, for a source without usable audio

    // Borrowed from the objects above, or from the job.
    // While run_source runs: the renditions' feeds (null once a rendition
    // takes no more), and how far the source has been read, in microseconds
    // from its start, for the job's progress (read by the calling thread).
    std::vector<MediaQueue*> feeds;
    std::atomic<int64_t>* read_position = nullptr;
    // What has been handed out so far, and why the source ended early.
    HandedOut handed_out;
    std::string read_warning;

    // Set by the video decoder (on its own threads) when it was asked for a
    // picture beyond the sizes accepted, which it was refused; and the
    // words for it, once the source stops.
    std::atomic<bool> oversized_picture{false};
    std::atomic<int> oversized_width{0};
    std::atomic<int> oversized_height{0};
    std::string failure;
    // Audio packets given to the decoder so far.
    int64_t audio_packets = 0;

    // Whether the WARN line of an HDR source that cannot be tone-mapped was given.
    bool tone_map_warned = false;

    // Video clock: the shift applied after a backwards jump of the source's
    // time stamps (the stamps handed out are kept in handed_out).
    int64_t video_pts_shift = 0;
    // How far from its tick the held picture was filmed, in ticks.
    double held_off_tick = 0;
    // Key frames: the stamp of the last one, and the pictures handed on since.
    int64_t last_key_stamp = AV_NOPTS_VALUE;
    int pictures_since_key = 0;
    // Set once the last picture has been handed on while the audio goes on
    // for seconds more: the last picture is repeated as the audio comes.
    bool repeat_to_audio_end = false;
    // Where the next decoded audio frame should start, in its own sample rate,
    // to find gaps in the source audio.
    int64_t audio_expected_next = AV_NOPTS_VALUE;
};

// Set-up, in pipeline order: input and streams, decoders, the AAC encoder,
// the audio graph, buffers. A failure here fails every rendition.
Status open_source(Source& s);

// Reads the whole source and hands every picture and AAC packet to `feeds`,
// with the read end, video end and end marks; the end mark carries the
// outcome. Stops early when no rendition takes any more. `read_position` is
// kept up to date with how far the source has been read (microseconds).
// Nothing of either is kept once it returns.
void run_source(Source& s, const std::vector<MediaQueue*>& feeds, std::atomic<int64_t>& read_position);

// Hands an item to every feed that still takes them.
void deliver_picture(Source& s, const AVFrame* picture);
void deliver_packet(Source& s, const AVPacket* packet);
void deliver_mark(Source& s, MediaQueue::Kind kind, const SourceOutcome& outcome = SourceOutcome{});
// Whether any rendition still takes items. A rendition that stopped is
// forgotten at the next item it refuses, so the source never waits for it.
bool anyone_taking(const Source& s);

// Video path. Key frames come every 2 s of output time (kKeyInterval ticks);
// the H.264 encoders make one every kKeyPictures pictures by themselves.
constexpr int64_t kKeyInterval = kGopPictures;
constexpr int kKeyPictures = kGopPictures;
Status take_picture(Source& s, AVFrame* picture);
Status finish_pictures(Source& s);
// Repeats the last picture at every key frame mark before `until` (1/30 s)
// that no picture stands on.
Status repeat_last_picture(Source& s, int64_t until);

// Audio path.
Status open_audio_encoder(Source& s);
Status build_audio_graph(Source& s, int sample_rate, int sample_fmt, const AVChannelLayout& layout);
Status filter_audio_frame(Source& s, AVFrame* frame);
Status finish_audio(Source& s);
// Silence up to `video_end` (1/30 s), for a source without usable audio.
Status add_silence(Source& s, int64_t video_end);
// An audio track that gave this many packets and no sound is given up.
constexpr int64_t kSoundlessPackets = 50;
// Gives the audio track up, with one WARN line (`why`): from here on the
// renditions get silence.
void drop_audio(Source& s, const std::string& why);

}  // namespace corvane
