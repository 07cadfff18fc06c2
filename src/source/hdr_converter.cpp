#include "source/hdr_converter.h"

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>

namespace corvane {

SliceWorkers::SliceWorkers(int threads) {
    for (int slice = 1; slice < threads; ++slice) workers_.emplace_back([this, slice] { work(slice); });
}

SliceWorkers::~SliceWorkers() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void SliceWorkers::run(const std::function<void(int)>& job) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        job_ = &job;
        ++round_;
        running_ = static_cast<int>(workers_.size());
    }
    wake_.notify_all();
    job(0);
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [this] { return running_ == 0; });
    job_ = nullptr;
}

void SliceWorkers::work(int slice) {
    long seen = 0;
    for (;;) {
        const std::function<void(int)>* job = nullptr;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [&] { return stopping_ || round_ != seen; });
            if (stopping_) return;
            seen = round_;
            job = job_;
        }
        (*job)(slice);
        std::lock_guard<std::mutex> hold(lock_);
        if (--running_ == 0) done_.notify_one();
    }
}

namespace {

// Slices of a picture: one for each core, at most 4, and none under 64
// pairs of rows (a small picture is done faster than threads wake up).
constexpr int kMostSlices = 4;
constexpr int kLeastPairsPerSlice = 64;

int slice_threads() {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(cores, 1, kMostSlices);
}

}  // namespace

bool HdrConverter::handles(const AVFrame* picture) {
    return picture->format == AV_PIX_FMT_YUV420P10 && picture->width >= 2 && picture->height >= 2 &&
           (picture->colorspace == AVCOL_SPC_BT2020_NCL || picture->colorspace == AVCOL_SPC_UNSPECIFIED) &&
           (picture->color_primaries == AVCOL_PRI_BT2020 || picture->color_primaries == AVCOL_PRI_UNSPECIFIED);
}

// The picture, or the picture brought down to `size` in 10 bits (bicubic,
// as the renditions scale).
const AVFrame* HdrConverter::scaled(const AVFrame* picture, const PictureArea& size, Status& status) {
    if (size.width <= 0 || (size.width == picture->width && size.height == picture->height)) return picture;
    const auto format = static_cast<AVPixelFormat>(picture->format);
    scaler_.reset(sws_getCachedContext(scaler_.release(), picture->width, picture->height, format, size.width,
                                       size.height, format, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!small_) small_.reset(av_frame_alloc());
    if (!scaler_ || !small_) {
        status = Status{AVERROR(ENOMEM), "scaling HDR video"};
        return nullptr;
    }
    av_frame_unref(small_.get());
    small_->format = format;
    small_->width = size.width;
    small_->height = size.height;
    status = status_of(av_frame_get_buffer(small_.get(), 0), "scaling HDR video");
    if (status.failed()) return nullptr;
    const int rows = sws_scale(scaler_.get(), picture->data, picture->linesize, 0, picture->height, small_->data,
                               small_->linesize);
    if (rows < 0) status = Status{rows, "scaling HDR video"};
    return status.ok() ? small_.get() : nullptr;
}

Status HdrConverter::convert(const AVFrame* picture, int transfer, const PictureArea& size, AVFrame* out) {
    const HdrTransfer kind = transfer == AVCOL_TRC_SMPTE2084 ? HdrTransfer::kPq : HdrTransfer::kHlg;
    const bool full_range = picture->color_range == AVCOL_RANGE_JPEG;
    if (!tables_ || tables_->transfer != kind || tables_->full_range != full_range) {
        tables_ = std::make_unique<ToneMapTables>(kind, full_range);
    }
    Status status;
    const AVFrame* source = scaled(picture, size, status);
    if (!source) return status;

    av_frame_unref(out);
    out->format = AV_PIX_FMT_YUV420P;
    out->width = source->width;
    out->height = source->height;
    RETURN_IF_FAILED(status_of(av_frame_get_buffer(out, 0), "tone-mapping video"));
    RETURN_IF_FAILED(status_of(av_frame_copy_props(out, picture), "tone-mapping video"));
    out->color_trc = AVCOL_TRC_BT709;
    out->color_primaries = AVCOL_PRI_BT709;
    out->colorspace = AVCOL_SPC_BT709;
    out->color_range = AVCOL_RANGE_MPEG;
    out->chroma_location = AVCHROMA_LOC_LEFT;
    // What described the HDR picture's light no longer applies.
    av_frame_remove_side_data(out, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
    av_frame_remove_side_data(out, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);

    const HdrPlanes in = hdr_planes(source);
    const SdrPlanes sdr = sdr_planes(out);
    const int width = source->width;
    const int height = source->height;
    const int pairs = (height + 1) / 2;
    const int slices = std::min(slice_threads(), std::max(1, pairs / kLeastPairsPerSlice));
    if (rows_.size() < static_cast<size_t>(slices)) rows_.resize(slices);  // each sized by its first rows
    const auto job = [&](int slice) {
        tone_map_rows(*tables_, in, sdr, width, height, pairs * slice / slices, pairs * (slice + 1) / slices,
                      rows_[slice]);
    };
    if (slices == 1) {
        job(0);
        return Status{};
    }
    if (!workers_ || workers_->threads() != slices) workers_ = std::make_unique<SliceWorkers>(slices);
    workers_->run(job);
    return Status{};
}

}  // namespace corvane
