#pragma once

// The source's HDR conversion: 10-bit 4:2:0 PQ or HLG pictures in BT.2020
// (as phones record) become 8-bit BT.709 SDR pictures in limited range, in
// one pass over the pixels (source/tone_map.h), with the rows split among
// a few threads of its own. A picture larger than the largest rendition is
// first brought down to that size, still in 10 bits. Other HDR pictures
// (4:2:2, 12-bit, interlaced ones) go through the normaliser's filter chain.
//
// Threads: the converter's workers meet the calling thread only inside
// `convert`, which hands each a range of rows of the same picture and waits
// until all are done; nothing else is shared.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "av/av_handles.h"
#include "av/picture_area.h"
#include "source/tone_map.h"

namespace corvane {

// A 10-bit and an 8-bit picture's planes, as the conversion reads and writes them.
inline HdrPlanes hdr_planes(const AVFrame* picture) {
    auto plane = [picture](int i) { return reinterpret_cast<const uint16_t*>(picture->data[i]); };
    return HdrPlanes{{plane(0), plane(1), plane(2)},
                     {picture->linesize[0] / 2, picture->linesize[1] / 2, picture->linesize[2] / 2}};
}
inline SdrPlanes sdr_planes(AVFrame* picture) {
    return SdrPlanes{{picture->data[0], picture->data[1], picture->data[2]},
                     {picture->linesize[0], picture->linesize[1], picture->linesize[2]}};
}

// Runs one job for each slice of [0, threads()) at once, on threads of its
// own and the caller's.
class SliceWorkers {
public:
    explicit SliceWorkers(int threads);
    ~SliceWorkers();
    SliceWorkers(const SliceWorkers&) = delete;
    SliceWorkers& operator=(const SliceWorkers&) = delete;

    int threads() const { return static_cast<int>(workers_.size()) + 1; }
    // Calls job(slice) for every slice in [0, threads()) and returns when
    // all have returned.
    void run(const std::function<void(int slice)>& job);

private:
    void work(int slice);

    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(int)>* job_ = nullptr;
    long round_ = 0;   // which job the workers are on
    int running_ = 0;  // workers still on this round's job
    bool stopping_ = false;
};

class HdrConverter {
public:
    // Whether this HDR picture (4:2:0, 10-bit, BT.2020) can be converted here.
    static bool handles(const AVFrame* picture);
    // Converts `picture` into `out` (unreferenced first), brought down to
    // `size` (0 x 0: kept); `transfer` is its PQ or HLG transfer.
    Status convert(const AVFrame* picture, int transfer, const PictureArea& size, AVFrame* out);

private:
    const AVFrame* scaled(const AVFrame* picture, const PictureArea& size, Status& status);

    std::unique_ptr<ToneMapTables> tables_;  // for the transfer and range of the last picture
    ScalerPtr scaler_;
    FramePtr small_;  // the picture brought down, in 10 bits
    std::unique_ptr<SliceWorkers> workers_;
    std::vector<ToneMapRows> rows_;  // one for each slice
};

}  // namespace corvane
