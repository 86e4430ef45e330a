#include "platform/media/IndexRelocation.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/log/Log.h"

namespace zimlo::media {

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
uint64_t be64(const uint8_t* p) { return uint64_t{be32(p)} << 32 | be32(p + 4); }
void put32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void put64(Bytes& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v >> 32));
    put32(out, static_cast<uint32_t>(v));
}

// One box of the index, parsed as far as the chunk offsets need: the boxes on the way down to
// them hold children, every other box its payload as it was.
struct Box {
    std::string type;
    Bytes payload;
    std::vector<Box> children;
    bool container = false;
};

bool isContainer(const std::string& type) {
    return type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl";
}

// The boxes in [data, data + size); false when they do not fit together.
bool parseBoxes(const uint8_t* data, uint64_t size, std::vector<Box>& boxes) {
    uint64_t at = 0;
    while (at < size) {
        if (size - at < 8) return false;
        uint64_t length = be32(data + at);
        uint64_t header = 8;
        if (length == 1) {
            if (size - at < 16) return false;
            length = be64(data + at + 8);
            header = 16;
        } else if (length == 0) {
            length = size - at;
        }
        if (length < header || length > size - at) return false;
        Box box;
        box.type.assign(reinterpret_cast<const char*>(data + at + 4), 4);
        box.container = isContainer(box.type);
        if (box.container) {
            if (!parseBoxes(data + at + header, length - header, box.children)) return false;
        } else {
            box.payload.assign(data + at + header, data + at + length);
        }
        boxes.push_back(std::move(box));
        at += length;
    }
    return true;
}

void serialise(const Box& box, Bytes& out) {
    Bytes body;
    if (box.container) {
        for (const Box& child : box.children) serialise(child, body);
    } else {
        body = box.payload;
    }
    const uint64_t length = body.size() + 8;
    if (length <= std::numeric_limits<uint32_t>::max()) {
        put32(out, static_cast<uint32_t>(length));
        out.insert(out.end(), box.type.begin(), box.type.end());
    } else {
        put32(out, 1);
        out.insert(out.end(), box.type.begin(), box.type.end());
        put64(out, length + 8);
    }
    out.insert(out.end(), body.begin(), body.end());
}

// Moves every chunk offset by `delta`; a 32-bit table whose offsets no longer fit becomes a
// 64-bit one. False on a table that is not what it says it is.
bool shiftChunkOffsets(Box& box, int64_t delta) {
    if (box.container) {
        for (Box& child : box.children)
            if (!shiftChunkOffsets(child, delta)) return false;
        return true;
    }
    const bool wide = box.type == "co64";
    if (!wide && box.type != "stco") return true;
    const Bytes& in = box.payload;
    if (in.size() < 8) return false;
    const uint64_t count = be32(in.data() + 4);
    const size_t entry = wide ? 8 : 4;
    if ((in.size() - 8) / entry < count) return false;
    std::vector<uint64_t> offsets(count);
    bool fits = true;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* p = in.data() + 8 + i * entry;
        const int64_t moved = static_cast<int64_t>(wide ? be64(p) : be32(p)) + delta;
        if (moved < 0) return false;
        offsets[i] = static_cast<uint64_t>(moved);
        fits = fits && offsets[i] <= std::numeric_limits<uint32_t>::max();
    }
    Bytes out(in.begin(), in.begin() + 8);  // version, flags and count stay
    box.type = wide || !fits ? "co64" : "stco";
    for (uint64_t offset : offsets) {
        if (box.type == "co64")
            put64(out, offset);
        else
            put32(out, static_cast<uint32_t>(offset));
    }
    box.payload = std::move(out);
    return true;
}

// The index with its chunk offsets moved by `delta`.
std::optional<Bytes> shiftedIndex(const Box& moov, int64_t delta) {
    Box copy = moov;
    if (!shiftChunkOffsets(copy, delta)) return std::nullopt;
    Bytes out;
    serialise(copy, out);
    return out;
}

struct TopBox {
    std::string type;
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct File {
    int fd = -1;
    ~File() {
        if (fd >= 0) ::close(fd);
    }
};

bool readAt(int fd, uint8_t* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;
            return false;
        }
        data += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool writeAt(int fd, const uint8_t* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

// A free box's header saying `length` bytes from it are padding.
Bytes freeHeader(uint64_t length) {
    Bytes out;
    put32(out, static_cast<uint32_t>(length));
    const char type[] = "free";
    out.insert(out.end(), type, type + 4);
    return out;
}

constexpr const char* kDoing = "moving the index to the front of";

Failure<MediaError> systemFailure(const std::filesystem::path& url) {
    return logged(MediaError::system(errno), kDoing, url);
}

Failure<MediaError> notAMovie(const std::filesystem::path& url, const char* why) {
    return logged(MediaError::of(MediaError::Kind::noMovie, why), kDoing, url);
}

// The movie's top-level boxes, in file order.
MediaResult<std::vector<TopBox>> readTopBoxes(int fd, uint64_t fileSize,
                                              const std::filesystem::path& url) {
    std::vector<TopBox> boxes;
    for (uint64_t at = 0; at < fileSize;) {
        uint8_t header[16];
        if (fileSize - at < 8 || !readAt(fd, header, 8, at))
            return notAMovie(url, "a box header is cut short");
        uint64_t length = be32(header);
        uint64_t headerLength = 8;
        if (length == 1) {
            if (fileSize - at < 16 || !readAt(fd, header + 8, 8, at + 8))
                return notAMovie(url, "a box header is cut short");
            length = be64(header + 8);
            headerLength = 16;
        } else if (length == 0) {
            length = fileSize - at;
        }
        if (length < headerLength || length > fileSize - at)
            return notAMovie(url, "a box runs past the end of the file");
        boxes.push_back({std::string(reinterpret_cast<char*>(header + 4), 4), at, length});
        at += length;
    }
    return boxes;
}

// What a relocation moves, as read from the file.
struct IndexMove {
    uint64_t fileSize = 0;
    uint64_t mdatStart = 0;  // where the first samples' box starts
    TopBox moov;
    Bytes prefix;  // the boxes before the samples (the file type), without padding
    Box tree;      // the index, parsed
};

// Inserts whole blocks in front of everything; the prefix, the index and a padding box fill them
// and the old front, so the samples move by exactly the inserted length. Nothing when the file
// system cannot insert.
std::optional<MediaResult<IndexRelocation>> insertIndexInFront(int fd, const struct stat& info,
                                                               const IndexMove& move,
                                                               const std::filesystem::path& url) {
    const Bytes& prefix = move.prefix;
    const uint64_t mdatStart = move.mdatStart;
    const uint64_t block = info.st_blksize > 0 ? static_cast<uint64_t>(info.st_blksize) : 4096;
    uint64_t inserted = block;
    std::optional<Bytes> moved;
    for (int attempt = 0; attempt < 8; ++attempt) {
        moved = shiftedIndex(move.tree, static_cast<int64_t>(inserted));
        if (!moved) return notAMovie(url, "the chunk offsets cannot be read");
        const uint64_t needed = prefix.size() + moved->size() + 8;
        if (mdatStart + inserted >= needed) break;
        inserted = (needed - mdatStart + block - 1) / block * block;
        moved.reset();
    }
    if (moved && ::fallocate(fd, FALLOC_FL_INSERT_RANGE, 0, static_cast<off_t>(inserted)) == 0) {
        Bytes front = prefix;
        front.insert(front.end(), moved->begin(), moved->end());
        const Bytes padding = freeHeader(mdatStart + inserted - front.size());
        front.insert(front.end(), padding.begin(), padding.end());
        if (!writeAt(fd, front.data(), front.size(), 0)) return systemFailure(url);
        const uint64_t oldIndex = move.moov.offset + inserted;
        if (move.moov.offset + move.moov.length == move.fileSize) {
            if (::ftruncate(fd, static_cast<off_t>(oldIndex)) != 0) return systemFailure(url);
        } else {
            const char type[] = "free";
            if (!writeAt(fd, reinterpret_cast<const uint8_t*>(type), 4, oldIndex + 4))
                return systemFailure(url);
        }
        return IndexRelocation::inserted;
    }
    if (moved && errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS)
        return systemFailure(url);
    return std::nullopt;
}

// Writes the movie again beside itself as [prefix][index][everything from the samples on,
// without the old index], and puts it in the old one's place.
MediaResult<IndexRelocation> rewriteWithIndexInFront(int fd, const IndexMove& move,
                                                     const std::filesystem::path& url) {
    const Bytes& prefix = move.prefix;
    const uint64_t mdatStart = move.mdatStart;
    std::optional<Bytes> moved;
    int64_t delta = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        moved = shiftedIndex(move.tree, delta);
        if (!moved) return notAMovie(url, "the chunk offsets cannot be read");
        const int64_t wanted =
            static_cast<int64_t>(prefix.size() + moved->size()) - static_cast<int64_t>(mdatStart);
        if (wanted == delta) break;
        delta = wanted;
        moved.reset();
    }
    if (!moved) return notAMovie(url, "the index does not settle");
    const std::filesystem::path temporary =
        url.parent_path() / ("." + url.filename().string() + ".index-" + std::to_string(getpid()));
    File out;
    out.fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out.fd < 0) return systemFailure(temporary);
    auto failed = [&](const std::filesystem::path& which) {
        auto failure = systemFailure(which);
        ::unlink(temporary.c_str());
        return failure;
    };
    Bytes front = prefix;
    front.insert(front.end(), moved->begin(), moved->end());
    if (!writeAt(out.fd, front.data(), front.size(), 0)) return failed(temporary);
    uint64_t written = front.size();
    auto copy = [&](uint64_t from, uint64_t to) {
        std::vector<uint8_t> buffer(size_t{1} << 20);
        while (from < to) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), to - from));
            if (!readAt(fd, buffer.data(), n, from) || !writeAt(out.fd, buffer.data(), n, written))
                return false;
            from += n;
            written += n;
        }
        return true;
    };
    const TopBox& moov = move.moov;
    if (!copy(mdatStart, moov.offset) || !copy(moov.offset + moov.length, move.fileSize))
        return failed(temporary);
    if (::close(std::exchange(out.fd, -1)) != 0) return failed(temporary);
    if (::rename(temporary.c_str(), url.c_str()) != 0) return failed(url);
    return IndexRelocation::rewritten;
}

}  // namespace

MediaResult<IndexRelocation> moveIndexToFront(const std::filesystem::path& url,
                                              bool allowInsertion) {
    File file;
    file.fd = ::open(url.c_str(), O_RDWR | O_CLOEXEC);
    if (file.fd < 0) return systemFailure(url);
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) return systemFailure(url);
    IndexMove move;
    move.fileSize = static_cast<uint64_t>(info.st_size);
    auto read = readTopBoxes(file.fd, move.fileSize, url);
    if (!read) return fail(std::move(read).error());
    const std::vector<TopBox>& boxes = *read;
    const TopBox* moov = nullptr;
    const TopBox* firstMdat = nullptr;
    for (const TopBox& box : boxes) {
        if (box.type == "moov") {
            if (moov) return notAMovie(url, "two indexes");
            moov = &box;
        }
        if (box.type == "mdat" && !firstMdat) firstMdat = &box;
    }
    if (!moov || !firstMdat) return notAMovie(url, "no index or no samples");
    if (moov->offset < firstMdat->offset) return IndexRelocation::alreadyInFront;
    move.moov = *moov;
    move.mdatStart = firstMdat->offset;

    // What goes in front: the boxes before the samples (the file type), then the index. Padding
    // boxes are left where they are, inside the new padding.
    for (const TopBox& box : boxes) {
        if (box.offset >= move.mdatStart) break;
        if (box.type == "free" || box.type == "skip" || box.type == "wide") continue;
        const size_t start = move.prefix.size();
        move.prefix.resize(start + box.length);
        if (!readAt(file.fd, move.prefix.data() + start, box.length, box.offset))
            return systemFailure(url);
    }
    Bytes index(moov->length);
    if (!readAt(file.fd, index.data(), index.size(), moov->offset)) return systemFailure(url);
    std::vector<Box> parsed;
    if (!parseBoxes(index.data(), index.size(), parsed) || parsed.size() != 1)
        return notAMovie(url, "the index cannot be read");
    move.tree = std::move(parsed.front());

    if (allowInsertion)
        if (auto inserted = insertIndexInFront(file.fd, info, move, url)) return *inserted;
    // Without insertion, or where the file system cannot insert, the file is written again.
    return rewriteWithIndexInFront(file.fd, move, url);
}

}  // namespace zimlo::media
