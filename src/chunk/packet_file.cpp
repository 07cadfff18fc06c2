#include "chunk/packet_file.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace corvane {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'P', 'K', 'T', 'S', '1', '\n'};
// No packet of an encoder and no sequence header comes near this.
constexpr uint32_t kLargest = 256u << 20;

struct Record {
    int64_t pts;
    int64_t dts;
    int64_t duration;
    int32_t flags;
    uint32_t size;
};

Status io_failure(const char* action) {
    return Status{AVERROR(errno ? errno : EIO), action};
}

}  // namespace

std::string part_path(const std::string& path) {
    // A chunk that runs twice at once (a worker thought lost that was not)
    // never writes into the other's file.
    return path + "." + std::to_string(getpid()) + ".part";
}

PacketWriter::~PacketWriter() {
    if (!file_) return;
    std::fclose(file_);
    std::remove(part_path(path_).c_str());
}

Status PacketWriter::open(const std::string& path, const uint8_t* header, int header_size) {
    const char* action = "writing the chunk's packets";
    path_ = path;
    errno = 0;
    file_ = std::fopen(part_path(path).c_str(), "wb");
    if (!file_) return io_failure(action);
    const uint32_t size = header_size > 0 ? static_cast<uint32_t>(header_size) : 0;
    if (std::fwrite(kMagic, sizeof kMagic, 1, file_) != 1 || std::fwrite(&size, sizeof size, 1, file_) != 1 ||
        (size > 0 && std::fwrite(header, size, 1, file_) != 1)) {
        return io_failure(action);
    }
    return Status{};
}

Status PacketWriter::write(const AVPacket* packet) {
    const Record record{packet->pts, packet->dts, packet->duration, packet->flags,
                        static_cast<uint32_t>(packet->size)};
    errno = 0;
    if (std::fwrite(&record, sizeof record, 1, file_) != 1 ||
        (packet->size > 0 && std::fwrite(packet->data, packet->size, 1, file_) != 1)) {
        return io_failure("writing the chunk's packets");
    }
    return Status{};
}

Status PacketWriter::close() {
    const char* action = "writing the chunk's packets";
    errno = 0;
    const bool written = std::fflush(file_) == 0;
    const Status failure = written ? Status{} : io_failure(action);
    std::fclose(file_);
    file_ = nullptr;
    if (failure.ok() && std::rename(part_path(path_).c_str(), path_.c_str()) == 0) return Status{};
    const Status why = failure.failed() ? failure : io_failure(action);
    std::remove(part_path(path_).c_str());
    return why;
}

PacketReader::~PacketReader() {
    if (file_) std::fclose(file_);
}

Status PacketReader::open(const std::string& path) {
    const char* action = "reading the chunks' packets";
    errno = 0;
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) return io_failure(action);
    char magic[sizeof kMagic];
    uint32_t size = 0;
    if (std::fread(magic, sizeof magic, 1, file_) != 1 || std::memcmp(magic, kMagic, sizeof kMagic) != 0 ||
        std::fread(&size, sizeof size, 1, file_) != 1 || size > kLargest) {
        return Status{AVERROR_INVALIDDATA, action};
    }
    header_.resize(size);
    if (size > 0 && std::fread(header_.data(), size, 1, file_) != 1) return Status{AVERROR_INVALIDDATA, action};
    return Status{};
}

Status PacketReader::read(AVPacket* packet, bool& more) {
    const char* action = "reading the chunks' packets";
    Record record{};
    more = false;
    errno = 0;
    const size_t got = std::fread(&record, 1, sizeof record, file_);
    if (got == 0 && std::feof(file_)) return Status{};
    if (got != sizeof record) return std::ferror(file_) ? io_failure(action) : Status{AVERROR_INVALIDDATA, action};
    if (record.size > kLargest) return Status{AVERROR_INVALIDDATA, action};
    av_packet_unref(packet);
    RETURN_IF_FAILED(status_of(av_new_packet(packet, static_cast<int>(record.size)), action));
    if (record.size > 0 && std::fread(packet->data, record.size, 1, file_) != 1) {
        return Status{AVERROR_INVALIDDATA, action};
    }
    packet->pts = record.pts;
    packet->dts = record.dts;
    packet->duration = record.duration;
    packet->flags = record.flags;
    more = true;
    return Status{};
}

}  // namespace corvane
