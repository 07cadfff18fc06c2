#pragma once

// A stream's encoded packets kept in a file between the processes of a
// chunked job: a chunk's H.264 packets for one rendition, the whole job's
// AAC packets. The file starts with the stream's sequence header (the
// encoder's extradata); each packet keeps its stamps, duration and flags
// exactly. A writer writes beside the file's place and puts it there when
// it is closed whole, so a file that exists is complete.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "av/av_handles.h"
#include "av/status.h"

namespace corvane {

// Where a file is written before it is put in its place.
std::string part_path(const std::string& path);

class PacketWriter {
public:
    PacketWriter() = default;
    PacketWriter(const PacketWriter&) = delete;
    PacketWriter& operator=(const PacketWriter&) = delete;
    ~PacketWriter();

    // Starts the file at `path` with the stream's `header`.
    Status open(const std::string& path, const uint8_t* header, int header_size);
    Status write(const AVPacket* packet);
    // Writes what is buffered and puts the file in its place.
    Status close();
    bool is_open() const { return file_ != nullptr; }

private:
    std::FILE* file_ = nullptr;
    std::string path_;
};

class PacketReader {
public:
    PacketReader() = default;
    PacketReader(const PacketReader&) = delete;
    PacketReader& operator=(const PacketReader&) = delete;
    ~PacketReader();

    // Opens the file at `path` and reads its header.
    Status open(const std::string& path);
    const std::vector<uint8_t>& header() const { return header_; }
    // The next packet into `packet`; `more` is false at the end of the file.
    Status read(AVPacket* packet, bool& more);

private:
    std::FILE* file_ = nullptr;
    std::vector<uint8_t> header_;
};

}  // namespace corvane
