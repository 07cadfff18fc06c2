#pragma once

// The key that encrypts a rendition's segments, as the key-info file gives
// it, and AES-128 encryption of a whole file with it, as the HLS muxer
// encrypts each segment: CBC with PKCS#7 padding, the stated IV or else the
// file's media sequence number. For the files the job writes beside the
// muxer's (I-frames, subtitles).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/mem.h>
}

#include "av/status.h"

namespace corvane {

struct AesDeleter {
    void operator()(AVAES* aes) const { av_free(aes); }
};
using AesPtr = std::unique_ptr<AVAES, AesDeleter>;

class SegmentKey {
public:
    // Reads the key-info file and the key it names (files or URLs).
    Status read(const std::string& key_info_path);

    const std::string& uri() const { return uri_; }
    const std::string& iv() const { return iv_; }  // 32 hex digits; empty: none stated

    // Encrypts `bytes` in place (padded) as the file of media sequence
    // number `sequence`.
    void encrypt(std::vector<uint8_t>& bytes, uint64_t sequence) const;

private:
    std::string uri_;
    std::string iv_;
    AesPtr aes_;
};

}  // namespace corvane
