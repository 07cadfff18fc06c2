#include "av/segment_key.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <cerrno>
#include <cstring>

#include "rendition/key_info.h"

namespace corvane {

namespace {

// The most of the key-info file that is read.
constexpr int kKeyInfoBytes = 64 * 1024;

// Up to `limit` bytes of the file or URL `path`, as the HLS muxer reads it.
Status read_start(const std::string& path, int limit, std::string& bytes, const char* action) {
    AVIOContext* in = nullptr;
    int ret = avio_open(&in, path.c_str(), AVIO_FLAG_READ);
    if (ret < 0) return Status{ret, action};
    bytes.assign(static_cast<size_t>(limit), '\0');
    ret = avio_read(in, reinterpret_cast<unsigned char*>(bytes.data()), limit);
    avio_closep(&in);
    bytes.resize(ret > 0 ? static_cast<size_t>(ret) : 0);
    return ret < 0 && ret != AVERROR_EOF ? Status{ret, action} : Status{};
}

}  // namespace

Status SegmentKey::read(const std::string& key_info_path) {
    std::string text;
    RETURN_IF_FAILED(read_start(key_info_path, kKeyInfoBytes, text, "opening the key-info file"));
    KeyInfo info;
    RETURN_IF_FAILED(parse_key_info(text, info));
    RETURN_IF_FAILED(check_iv(info.iv));
    std::string key;
    RETURN_IF_FAILED(read_start(info.key_file, 17, key, "opening the key file that the key-info file names"));
    if (key.size() != 16) return Status{AVERROR_INVALIDDATA, "reading the key file (an AES-128 key is 16 bytes)"};
    uri_ = info.key_uri;
    iv_ = info.iv;
    aes_.reset(av_aes_alloc());
    if (!aes_) return Status{AVERROR(ENOMEM), "reading the key file"};
    return status_of(av_aes_init(aes_.get(), reinterpret_cast<const uint8_t*>(key.data()), 128, 0),
                     "reading the key file");
}

void SegmentKey::encrypt(std::vector<uint8_t>& bytes, uint64_t sequence) const {
    const size_t padding = 16 - bytes.size() % 16;
    bytes.insert(bytes.end(), padding, static_cast<uint8_t>(padding));
    uint8_t iv[16] = {};
    if (!iv_.empty()) {
        for (size_t i = 0; i < 16; ++i) {
            iv[i] = static_cast<uint8_t>(std::stoi(iv_.substr(2 * i, 2), nullptr, 16));
        }
    } else {
        for (int i = 15; i >= 8; --i, sequence >>= 8) iv[i] = static_cast<uint8_t>(sequence & 0xff);
    }
    av_aes_crypt(aes_.get(), bytes.data(), bytes.data(), static_cast<int>(bytes.size() / 16), iv, 0);
}

}  // namespace corvane
