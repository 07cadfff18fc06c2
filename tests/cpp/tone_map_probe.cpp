// Converts raw HDR pictures to SDR with the source's tone mapping, for
// tests/test_tone_map.py, which compares them with FFmpeg's filters.
//
//   tone_map_probe pq|hlg WIDTH HEIGHT IN OUT [SLICES [plain|avx2|avx512]]
//
// IN: yuv420p10le pictures (limited range, BT.2020), one after another;
// OUT: yuv420p pictures. With SLICES, each picture is converted as that many
// ranges of rows, one after another, as the source's threads share it. The
// last argument names the instructions to convert with (the widest this
// processor has, without it); exit status 3 when it has not got them.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "source/tone_map.h"

int main(int argc, char** argv) {
    using namespace corvane;
    if (argc < 6 || argc > 8) {
        std::fprintf(stderr, "usage: %s pq|hlg WIDTH HEIGHT IN OUT [SLICES [plain|avx2|avx512]]\n", argv[0]);
        return 2;
    }
    const HdrTransfer transfer = std::strcmp(argv[1], "hlg") == 0 ? HdrTransfer::kHlg : HdrTransfer::kPq;
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    const int slices = argc >= 7 ? std::atoi(argv[6]) : 1;
    ToneMapKernel kernel = widest_tone_map_kernel();
    if (argc == 8) {
        kernel = std::strcmp(argv[7], "avx512") == 0 ? ToneMapKernel::kAvx512
                 : std::strcmp(argv[7], "avx2") == 0 ? ToneMapKernel::kAvx2
                                                      : ToneMapKernel::kPlain;
        if (!tone_map_kernel_runs(kernel)) return 3;
    }
    FILE* in = std::fopen(argv[4], "rb");
    FILE* out = std::fopen(argv[5], "wb");
    if (width < 1 || height < 1 || slices < 1 || !in || !out) return 2;
    const int chroma_width = (width + 1) / 2;
    const int chroma_height = (height + 1) / 2;
    const size_t luma = static_cast<size_t>(width) * height;
    const size_t chroma = static_cast<size_t>(chroma_width) * chroma_height;
    std::vector<uint16_t> hdr(luma + 2 * chroma);
    std::vector<uint8_t> sdr(luma + 2 * chroma);
    const ToneMapTables tables(transfer, false, kernel);
    ToneMapRows rows(width);
    const int pairs = (height + 1) / 2;
    while (std::fread(hdr.data(), sizeof hdr[0], hdr.size(), in) == hdr.size()) {
        const HdrPlanes planes{{hdr.data(), hdr.data() + luma, hdr.data() + luma + chroma},
                               {width, chroma_width, chroma_width}};
        const SdrPlanes pictures{{sdr.data(), sdr.data() + luma, sdr.data() + luma + chroma},
                                 {width, chroma_width, chroma_width}};
        for (int slice = 0; slice < slices; ++slice) {
            tone_map_rows(tables, planes, pictures, width, height, pairs * slice / slices,
                          pairs * (slice + 1) / slices, rows);
        }
        if (std::fwrite(sdr.data(), 1, sdr.size(), out) != sdr.size()) return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
