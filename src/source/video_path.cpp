// The video path of the source: decoder, normaliser and output clock in
// pipeline order, and the hand-over of settled pictures to the renditions.

#include "source/video_path.h"

#include "av/av_compat.h"

namespace corvane {

// Shows a settled picture to every rendition at `stamp`. The H.264 encoders
// make a key frame by themselves at the first picture and every kGopPictures
// pictures after the last one, which on a full 30-per-second clock is every
// mark; the other key frames of the grid are asked for with the picture
// type. (Asking for one where the encoder makes it anyway would change its
// choices around it.)
Status VideoPath::show(const FramePtr& picture, int64_t stamp, bool key, Feeds& feeds) {
    const bool encoders_own = since_key_ < 0 || since_key_ + 1 == kGopPictures;
    since_key_ = key || encoders_own ? 0 : since_key_ + 1;
    picture->pts = stamp;
    picture->pict_type = key && !encoders_own ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    feeds.push_picture(picture.get(), key);
    picture->pict_type = AV_PICTURE_TYPE_NONE;
    return Status{};
}

Status VideoPath::open(const SourceInput& input, int largest_width, int largest_height) {
    input_ = &input;
    RETURN_IF_FAILED(decoder_.open(input));
    return normaliser_.open(input, largest_width, largest_height);
}

Status VideoPath::decode(const AVPacket* packet, Feeds& feeds) {
    return decoder_.decode(packet, [&](AVFrame* picture) { return take_decoded(picture, feeds); });
}

Status VideoPath::take_decoded(AVFrame* picture, Feeds& feeds) {
    // A picture is timed by the decoder's best guess: containers that store
    // decoding times only (old FLV, Smooth Streaming, some MPEG-PS) give
    // reordered pictures the stamps of other pictures, which jump back and
    // forth; the guess puts them back in order.
    if (picture->best_effort_timestamp != AV_NOPTS_VALUE) picture->pts = picture->best_effort_timestamp;
    const int64_t duration = picture_duration(picture);
    shown_until_ = picture->pts != AV_NOPTS_VALUE && duration > 0
                   ? av_rescale_q(picture->pts + duration, input_->video->time_base, kVideoTimeBase)
                   : AV_NOPTS_VALUE;
    return normaliser_.normalise(picture, clock_sink(feeds));
}

// Gives the clock a picture of its own, without the source's side data and
// picture type (the H.264 encoders would obey a picture type).
Status VideoPath::to_clock(AVFrame* picture, AVRational time_base, Feeds& feeds) {
    FramePtr own(av_frame_alloc());
    if (!own) return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    av_frame_move_ref(own.get(), picture);
    own->pict_type = AV_PICTURE_TYPE_NONE;
    while (own->nb_side_data > 0) av_frame_remove_side_data(own.get(), own->side_data[0]->type);
    const int64_t pts = own->pts;
    return clock_.take(std::move(own), pts, time_base, shown_to(feeds));
}

// The end of the length the file states, on the output clock; AV_NOPTS_VALUE
// when it states none to rely on.
int64_t VideoPath::stated_end() const {
    const AVFormatContext* context = input_->context.get();
    if (context->duration <= 0 || context->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE ||
        input_->clock_shift != 0) {
        return AV_NOPTS_VALUE;
    }
    const int64_t start = context->start_time != AV_NOPTS_VALUE ? context->start_time : 0;
    return av_rescale_q(start + context->duration, AV_TIME_BASE_Q, kVideoTimeBase);
}

Status VideoPath::finish(Feeds& feeds) {
    RETURN_IF_FAILED(normaliser_.finish(clock_sink(feeds)));
    // The last picture lasts as long as the source shows it (a time-lapse's
    // last second, a slideshow's last slide); never beyond the length the
    // file states.
    return clock_.finish(shown_until_, stated_end(), shown_to(feeds));
}

Status VideoPath::repeat_last_picture(int64_t until, Feeds& feeds) {
    return clock_.repeat_last(until, shown_to(feeds));
}

void VideoPath::close() {
    normaliser_.close();
    decoder_.close();
}

}  // namespace corvane
