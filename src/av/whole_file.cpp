#include "av/whole_file.h"

extern "C" {
#include <libavutil/error.h>
}

#include <cerrno>
#include <cstdio>

namespace corvane {

Status write_whole_file(const std::string& path, const std::string& bytes, const char* action) {
    const std::string temporary = path + ".tmp";
    errno = 0;
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return Status{AVERROR(errno ? errno : EIO), action};
    const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    int cause = whole ? 0 : errno;
    if (std::fclose(file) != 0 && cause == 0) cause = errno ? errno : EIO;
    if (whole && cause == 0 && std::rename(temporary.c_str(), path.c_str()) == 0) return Status{};
    if (cause == 0) cause = errno ? errno : EIO;
    std::remove(temporary.c_str());
    return Status{AVERROR(cause), action};
}

}  // namespace corvane
