#include "ZipBuilder.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace Tamsor {
namespace Testing {

namespace {

const std::uint32_t kLocalHeaderSignature = 0x04034b50;
const std::uint32_t kCentralHeaderSignature = 0x02014b50;
const std::uint32_t kEndRecordSignature = 0x06054b50;
// Version 2.0: the lowest that knows deflate and directories; the upper byte 0 says MS-DOS attributes.
const std::uint16_t kVersion = 20;
const std::uint32_t kDosDirectoryAttribute = 0x10;

void putU16(std::string& out, std::uint16_t value) {
    out += le16(value);
}

void putU32(std::string& out, std::uint32_t value) {
    out += le32(value);
}

std::uint32_t crcOf(const std::string& data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt: feed it in pieces so that no size is too large.
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t piece = std::min<std::size_t>(data.size() - done, 1u << 30);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + done), static_cast<uInt>(piece));
        done += piece;
    }
    return static_cast<std::uint32_t>(crc);
}

// Raw deflate (no zlib header or trailer), as ZIP method 8 wants it.
std::string deflateRaw(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("ZipBuilder: deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t produced = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw std::runtime_error("ZipBuilder: deflate did not finish");
    out.resize(produced);
    return out;
}

std::string encode(const ZipBuilder::Member& member) {
    return member.method == ZipBuilder::kDeflated ? deflateRaw(member.data) : member.data;
}

bool isDirectoryName(const std::string& name) {
    return !name.empty() && name.back() == '/';
}

// The fields a local header and a central header share, from "version needed" to "extra field length".
void putCommonFields(std::string& out, const ZipBuilder::Member& member, std::uint32_t crc,
                     std::uint32_t compressedSize) {
    putU16(out, kVersion);
    putU16(out, 0);  // flags: no encryption, no data descriptor
    putU16(out, member.method);
    putU16(out, member.dosTime);
    putU16(out, member.dosDate);
    putU32(out, crc);
    putU32(out, compressedSize);
    putU32(out, static_cast<std::uint32_t>(member.data.size()));
    putU16(out, static_cast<std::uint16_t>(member.name.size()));
    putU16(out, 0);  // extra field length
}

void putLocalHeader(std::string& out, const ZipBuilder::Member& member, std::uint32_t crc, const std::string& payload) {
    putU32(out, kLocalHeaderSignature);
    putCommonFields(out, member, crc, static_cast<std::uint32_t>(payload.size()));
    out += member.name;
}

void putCentralHeader(std::string& out, const ZipBuilder::Member& member, std::uint32_t crc,
                      std::uint32_t compressedSize, std::uint32_t localOffset) {
    putU32(out, kCentralHeaderSignature);
    putU16(out, kVersion);  // version made by
    putCommonFields(out, member, crc, compressedSize);
    putU16(out, 0);  // file comment length
    putU16(out, 0);  // disk number start
    putU16(out, 0);  // internal attributes
    putU32(out, isDirectoryName(member.name) ? kDosDirectoryAttribute : 0);
    putU32(out, localOffset);
    out += member.name;
}

void putEndRecord(std::string& out, std::size_t memberCount, std::size_t centralSize, std::size_t centralOffset,
                  const std::string& comment) {
    putU32(out, kEndRecordSignature);
    putU16(out, 0);  // this disk
    putU16(out, 0);  // disk with the central directory
    putU16(out, static_cast<std::uint16_t>(memberCount));
    putU16(out, static_cast<std::uint16_t>(memberCount));
    putU32(out, static_cast<std::uint32_t>(centralSize));
    putU32(out, static_cast<std::uint32_t>(centralOffset));
    putU16(out, static_cast<std::uint16_t>(comment.size()));
    out += comment;
}

std::uint32_t nextRandom(std::uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

}  // namespace

std::string le16(std::uint16_t value) {
    return std::string{static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
}

std::string le32(std::uint32_t value) {
    return le16(static_cast<std::uint16_t>(value & 0xffff)) + le16(static_cast<std::uint16_t>(value >> 16));
}

ZipBuilder& ZipBuilder::add(const std::string& name, const std::string& data, std::uint16_t method) {
    Member member;
    member.name = name;
    member.data = data;
    member.method = method;
    m_members.push_back(member);
    return *this;
}

ZipBuilder& ZipBuilder::addDirectory(const std::string& name) {
    return add(name, std::string(), kStored);
}

ZipBuilder& ZipBuilder::setComment(const std::string& comment) {
    m_strComment = comment;
    return *this;
}

std::string ZipBuilder::build() const {
    std::string archive;
    std::string central;
    for (const Member& member : m_members) {
        const std::uint32_t crc = crcOf(member.data);
        const std::string payload = encode(member);
        const std::uint32_t localOffset = static_cast<std::uint32_t>(archive.size());
        putLocalHeader(archive, member, crc, payload);
        archive += payload;
        putCentralHeader(central, member, crc, static_cast<std::uint32_t>(payload.size()), localOffset);
    }
    const std::size_t centralOffset = archive.size();
    archive += central;
    putEndRecord(archive, m_members.size(), central.size(), centralOffset, m_strComment);
    return archive;
}

void ZipBuilder::writeTo(const std::string& path) const {
    const std::string bytes = build();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("ZipBuilder: cannot write " + path);
}

std::string makeContent(std::size_t size, std::uint32_t seed, bool text) {
    static const char* const kWords[] = {"archive", "entry",   "stream", "block", "header", "offset", "index",
                                         "member",  "deflate", "stored", "name",  "size",   "read",   "seek",
                                         "the",     "of",      "a",      "to",    "and",    "zip"};
    const std::uint32_t wordCount = sizeof(kWords) / sizeof(kWords[0]);
    // xorshift must not start from zero, or it stays there.
    std::uint32_t state = seed * 2654435761u + 0x9e3779b9u;
    if (state == 0) state = 1;
    std::string out;
    out.reserve(size + 16);
    while (out.size() < size) {
        const std::uint32_t value = nextRandom(state);
        if (!text) {
            out.push_back(static_cast<char>(value & 0xff));
            continue;
        }
        out += kWords[value % wordCount];
        out.push_back((value >> 16) % 12 == 0 ? '\n' : ' ');
    }
    out.resize(size);
    return out;
}

}  // namespace Testing
}  // namespace Tamsor
