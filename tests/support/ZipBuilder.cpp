#include "ZipBuilder.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
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

const std::uint64_t kMarker = 0xFFFFFFFF;

// A member's numbers as they go into its records: what does not fit in 32 bits becomes the marker, and its
// value goes into the zip64 extra field, in the order the records list them.
struct Numbers {
    std::uint32_t crc;
    std::uint64_t size, compressedSize, offset;
};

std::uint32_t fitted(std::uint64_t value, std::string& zip64) {
    if (value < kMarker) return static_cast<std::uint32_t>(value);
    zip64 += le64(value);
    return static_cast<std::uint32_t>(kMarker);
}

std::string zip64Field(const std::string& values) {
    return values.empty() ? values : le16(1) + le16(static_cast<std::uint16_t>(values.size())) + values;
}

// The fields a local header and a central header share, from "version needed" to "extra field length".
void putCommonFields(std::string& out, const ZipBuilder::Member& member, std::uint32_t crc,
                     std::uint32_t compressedSize, std::uint32_t size, std::size_t extraLength) {
    putU16(out, kVersion);
    putU16(out, 0);  // flags: no encryption, no data descriptor
    putU16(out, member.method);
    putU16(out, member.dosTime);
    putU16(out, member.dosDate);
    putU32(out, crc);
    putU32(out, compressedSize);
    putU32(out, size);
    putU16(out, static_cast<std::uint16_t>(member.name.size()));
    putU16(out, static_cast<std::uint16_t>(extraLength));
}

// A local header of a zip64 member gives both sizes in its zip64 field.
void putLocalHeader(std::string& out, const ZipBuilder::Member& member, const Numbers& numbers) {
    std::string zip64;
    if (numbers.size >= kMarker || numbers.compressedSize >= kMarker)
        zip64 = le64(numbers.size) + le64(numbers.compressedSize);
    const std::uint32_t size = zip64.empty() ? static_cast<std::uint32_t>(numbers.size) : kMarker;
    const std::uint32_t compressedSize = zip64.empty() ? static_cast<std::uint32_t>(numbers.compressedSize) : kMarker;
    putU32(out, kLocalHeaderSignature);
    putCommonFields(out, member, numbers.crc, compressedSize, size, zip64Field(zip64).size());
    out += member.name + zip64Field(zip64);
}

void putCentralHeader(std::string& out, const ZipBuilder::Member& member, const Numbers& numbers) {
    std::string zip64;
    const std::uint32_t size = fitted(numbers.size, zip64);
    const std::uint32_t compressedSize = fitted(numbers.compressedSize, zip64);
    const std::uint32_t offset = fitted(numbers.offset, zip64);
    const std::string extra = zip64Field(zip64) + member.extra;
    putU32(out, kCentralHeaderSignature);
    putU16(out, kVersion);  // version made by
    putCommonFields(out, member, numbers.crc, compressedSize, size, extra.size());
    putU16(out, 0);  // file comment length
    putU16(out, 0);  // disk number start
    putU16(out, 0);  // internal attributes
    putU32(out, isDirectoryName(member.name) ? kDosDirectoryAttribute : 0);
    putU32(out, offset);
    out += member.name + extra;
}

// The zip64 end record and its locator, when asked for or needed, then the end record with whatever fits.
void putEndRecords(std::string& out, std::uint64_t end, std::uint64_t count, std::uint64_t centralSize,
                   std::uint64_t centralOffset, const std::string& comment, bool bZip64) {
    if (bZip64 || count > 0xFFFF || centralSize >= kMarker || centralOffset >= kMarker) {
        out += le32(0x06064b50) + le64(44) + le16(45) + le16(45) + le32(0) + le32(0) + le64(count) + le64(count) +
               le64(centralSize) + le64(centralOffset);
        out += le32(0x07064b50) + le32(0) + le64(end) + le32(1);
    }
    std::string ignored;
    putU32(out, kEndRecordSignature);
    putU16(out, 0);  // this disk
    putU16(out, 0);  // disk with the central directory
    putU16(out, static_cast<std::uint16_t>(std::min<std::uint64_t>(count, 0xFFFF)));
    putU16(out, static_cast<std::uint16_t>(std::min<std::uint64_t>(count, 0xFFFF)));
    putU32(out, fitted(centralSize, ignored));
    putU32(out, fitted(centralOffset, ignored));
    putU16(out, static_cast<std::uint16_t>(comment.size()));
    out += comment;
}

// The CRC-32 of `count` zero bytes, a mebibyte at a time.
std::uint32_t crcOfZeros(std::uint64_t count) {
    const std::string block(1 << 20, '\0');
    const uLong blockCrc = crc32(0L, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
    uLong crc = crc32(0L, Z_NULL, 0);
    for (; count >= block.size(); count -= block.size()) crc = crc32_combine64(crc, blockCrc, block.size());
    return static_cast<std::uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(count)));
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

std::string le64(std::uint64_t value) {
    return le32(static_cast<std::uint32_t>(value)) + le32(static_cast<std::uint32_t>(value >> 32));
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

ZipBuilder& ZipBuilder::setZip64(bool bZip64) {
    m_bZip64 = bZip64;
    return *this;
}

std::vector<ZipBuilder::Piece> ZipBuilder::layout() const {
    std::vector<Piece> pieces;
    std::uint64_t end = 0;  // where the next piece goes
    std::string central;
    for (const Member& member : m_members) {
        const std::string payload = member.zeros ? std::string() : encode(member);
        const std::uint64_t size = member.zeros ? member.zeros : member.data.size();
        const Numbers numbers = {member.zeros ? crcOfZeros(member.zeros) : crcOf(member.data), size,
                                 member.zeros ? member.zeros : payload.size(), end + member.gapBefore};
        pieces.push_back(Piece{numbers.offset, std::string()});
        putLocalHeader(pieces.back().bytes, member, numbers);
        pieces.back().bytes += payload;
        end = numbers.offset + pieces.back().bytes.size() + member.zeros;
        putCentralHeader(central, member, numbers);
    }
    pieces.push_back(Piece{end, central});
    putEndRecords(pieces.back().bytes, end + central.size(), m_members.size(), central.size(), end, m_strComment,
                  m_bZip64);
    return pieces;
}

std::string ZipBuilder::build() const {
    const std::vector<Piece> pieces = layout();
    const std::uint64_t size = pieces.back().offset + pieces.back().bytes.size();
    if (size > (1u << 30)) throw std::runtime_error("ZipBuilder: past 1 GiB, write the archive with writeTo");
    std::string archive(static_cast<std::size_t>(size), '\0');
    for (const Piece& piece : pieces) archive.replace(piece.offset, piece.bytes.size(), piece.bytes);
    return archive;
}

void ZipBuilder::writeTo(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool bWritten = fd >= 0;
    for (const Piece& piece : layout())
        bWritten = bWritten && ::pwrite(fd, piece.bytes.data(), piece.bytes.size(), static_cast<off_t>(piece.offset)) ==
                                   static_cast<ssize_t>(piece.bytes.size());
    if (fd >= 0 && ::close(fd) != 0) bWritten = false;
    if (!bWritten) throw std::runtime_error("ZipBuilder: cannot write " + path);
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
